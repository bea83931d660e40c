#pragma once

#include <QByteArray>

// Stand-in for the download tool: lists the ports in config/ports; a download
// prints the parts of FAKE_TOOL_OUTPUT ('|' between them) with pauses between,
// and stays until killed at a part "hang"; at "spawn" it first starts a helper
// that would outlive it (its process id in config/helper.pid). Every call's
// arguments go to config/calls.log.
inline const char kFakeTool[] = R"(here=$(dirname "$0")
echo "$*" >> "$here/calls.log"
if [ "$1" = "-r" ]; then
  printf 'list header\r\n----\r\n'
  [ -f "$here/ports" ] && cat "$here/ports"
  exit 0
fi
IFS='|'
for part in $FAKE_TOOL_OUTPUT; do
  [ "$part" = hang ] && exec sleep 600
  if [ "$part" = spawn ]; then sleep 600 & echo $! > "$here/helper.pid"; exec sleep 600; fi
  printf "$part"; sleep 0.3
done
)";
inline const QByteArray kPort13 = "dev, portlevel1, portnum3\r\n";
