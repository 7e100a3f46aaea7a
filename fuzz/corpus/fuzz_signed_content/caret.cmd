@echo off
echo ^
exit /b
