#!/bin/sh
# Started without waiting: keeps running after the finishing work ends.
sleep 1
echo "start-tray: tray started" >> demo-activity.log
