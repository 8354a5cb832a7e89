#!/bin/sh
# Lays out a module installation from a release build, as `make demo` and bench/proxy_bench.sh
# use it:
#   demo/install.sh <build folder> <root>
# makes <root>/Zephyrquill/Nexoral/ (Nexoral.so, Settings/CoreSettings.xml and
# Settings/ZQCriteria.xml from demo/, the demo directory Settings/Directory.conf and
# directory.ldif, Resource/CoreRes.so, workers/SampleWorker.so), the common folder
# "<root>/Zephyrquill/Common Files/bin/" (LogModule.so, ZQCache.so, ZqExchangeAccess.so) and the
# empty folders <root>/registry and <root>/logs for the registry root and the log.
set -eu
build="$1"
root="$2"
demo="$(dirname "$0")"
install="$root/Zephyrquill/Nexoral"
common="$root/Zephyrquill/Common Files"

mkdir -p "$install/Settings" "$install/Resource" "$install/workers" "$common/bin" \
  "$root/registry" "$root/logs"
cp "$demo/CoreSettings.xml" "$demo/ZQCriteria.xml" "$demo/Directory.conf" "$demo/directory.ldif" \
   "$install/Settings/"
cp "$build/src/nexoral.so" "$install/Nexoral.so"
cp "$build/components/resource/CoreRes.so" "$install/Resource/"
cp "$build/workers/SampleWorker.so" "$install/workers/"
cp "$build/components/logmodule/LogModule.so" "$common/bin/"
cp "$build/components/bin/ZQCache.so" "$build/components/bin/ZqExchangeAccess.so" "$common/bin/"
