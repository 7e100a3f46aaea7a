#!/opt/product/bin/interp -x
exit 0
