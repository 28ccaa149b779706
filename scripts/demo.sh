#!/usr/bin/env bash
# make demo, with make installed first where missing.
exec "$(dirname "$0")/make_target.sh" demo
