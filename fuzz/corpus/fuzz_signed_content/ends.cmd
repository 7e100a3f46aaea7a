@echo off
run.exe %*
@exit /b %ERRORLEVEL%
