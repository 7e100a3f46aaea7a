@echo off
rem Writes the product configuration; 100 asks for a restart, which the module accepts.
echo prepare-config: %*>> demo-activity.log
exit /b 100
