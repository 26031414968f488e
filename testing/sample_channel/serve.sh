#!/bin/sh
# Serves the sample channel on 127.0.0.1 on an ephemeral port: the documents of this
# folder under /data/ (with "@BASE@" replaced by the server's own address), the market
# lookups of market.json, 200 for /Stat, and with --files DIR (passed through) the
# generated engine packages and app files under /files/. Writes "<port>\n" to $TARVO_READY_FILE
# once it listens. Requests are logged to $TARVO_SAMPLE_LOG (default: not kept).
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" "$here/../channel_fixture/server.py" --root "$here" --substitute \
  --log "${TARVO_SAMPLE_LOG:-/dev/null}" "$@"
