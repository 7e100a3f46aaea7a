@echo off
rem Writes the product configuration; 100 asks for a restart (reboot_exitcode).
echo prepare-config: %*>> demo-activity.log
exit /b 100
