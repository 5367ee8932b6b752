#!/bin/sh
# Installs a build into a prefix and completes it as a compiler installation:
# the plug-in linked into the versioned libexec directory, the binary tools
# into the tool directory. Used by the demo and the client test.
#
# Usage: lay_out_installation.sh BUILD PREFIX PLUGIN AR NM RANLIB
#            EXEC_FROM_BIN LIBEXEC_FROM_BIN TRIPLET VERSION CLIMB PLUGIN_NAME
set -eu
build=$1 prefix=$2 plugin=$3 ar=$4 nm=$5 ranlib=$6
exec_from_bin=$7 libexec_from_bin=$8 triplet=$9
shift 9
version=$1 climb=$2 plugin_name=$3

cmake --install "$build" --prefix "$prefix" >/dev/null

bin=$prefix/bin
versioned_exec=$bin/$exec_from_bin/$triplet/$version
plugin_dir=$bin/$libexec_from_bin/$triplet/$version
# The programs reach the tool directory from the versioned library directory
# by ".." steps, so that directory has to exist as well.
mkdir -p "$versioned_exec" "$plugin_dir"
tool_dir=$versioned_exec/$climb$triplet/bin
mkdir -p "$tool_dir"
ln -sf "$plugin" "$plugin_dir/$plugin_name"
ln -sf "$ar" "$tool_dir/ar"
ln -sf "$nm" "$tool_dir/nm"
ln -sf "$ranlib" "$tool_dir/ranlib"
