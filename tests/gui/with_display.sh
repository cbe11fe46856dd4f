#!/bin/sh
# Runs a window test on the environment's X display or, without one, on a
# private Xvfb server.
if [ -n "$DISPLAY" ]; then exec "$@"; fi
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
