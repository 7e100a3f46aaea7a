@echo off
echo schedule-updates: %*>> demo-activity.log
exit /b 0
