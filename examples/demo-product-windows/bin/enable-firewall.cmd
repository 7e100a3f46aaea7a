@echo off
echo enable-firewall: never runs, the module is not installed>> demo-activity.log
exit /b 0
