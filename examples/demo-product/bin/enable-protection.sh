#!/bin/sh
echo "enable-protection: $*" >> demo-activity.log
exit 0
