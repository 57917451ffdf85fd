#!/usr/bin/env bash
# Runs summary_schema_test.py with a Python that has jsonschema (Debian's
# python3-jsonschema, or one installed another way); skips the test, with
# a message, when there is none.
here=$(dirname "$0")
for py in python3 /usr/bin/python3; do
  if command -v "$py" >/dev/null && "$py" -c 'import jsonschema' 2>/dev/null; then
    exec "$py" "$here/summary_schema_test.py" "$@"
  fi
done
echo "skipped: no python3 with jsonschema (tools/deps.sh json installs python3-jsonschema)"
exit 77
