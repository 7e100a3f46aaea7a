@echo off
rem Started without waiting: the tray keeps running after the finishing work ends.
echo start-tray: tray started>> demo-activity.log
