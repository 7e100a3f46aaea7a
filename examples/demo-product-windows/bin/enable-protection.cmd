@echo off
echo enable-protection: %*>> demo-activity.log
exit /b 0
