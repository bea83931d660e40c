#!/usr/bin/env bash
# Makes the demo's image package and single-board description folder inside the given working folder.
set -euo pipefail
work=$1
src=$(cd "$(dirname "$0")/.." && pwd)

# Image package: a few images in nested folders, as a build server would pack them.
tmp=$(mktemp -d)
mkdir -p "$tmp/boot" "$tmp/system/firmware"
head -c 2097152 /dev/urandom > "$tmp/boot/u-boot.bin"
head -c 4194304 /dev/zero > "$tmp/system/rootfs.img"
head -c 524288 /dev/urandom > "$tmp/system/firmware/radio.bin"
printf '<partitions>\n  <partition label="boot" file="boot/u-boot.bin"/>\n</partitions>\n' > "$tmp/layout.xml"
(cd "$tmp" && zip -qr "$work/package/demo_images.zip" .)
rm -rf "$tmp"

# Single-board description folder: the sample description and its images.
mkdir -p "$work/single"
if [ -d "$src/resources/samples" ]; then
    cp -r "$src/resources/samples/." "$work/single/"
fi
if [ ! -f "$work/single/board.xml" ]; then
    cat > "$work/single/board.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<partitions>
  <partition label="bootloader" size_in_kb="1024" file="boot.img" mountpoint="" type="emmc"/>
  <partition label="kernel" size_in_kb="8192" file="kernel.img" mountpoint="/boot" type="emmc"/>
  <partition label="reserved" size_in_kb="512" type="emmc"/>
  <partition label="rootfs" size_in_kb="65536" file="rootfs.img" mountpoint="/" type="emmc"/>
</partitions>
XML
    head -c 1048576 /dev/urandom > "$work/single/boot.img"
    head -c 2097152 /dev/urandom > "$work/single/kernel.img"
    head -c 4194304 /dev/zero > "$work/single/rootfs.img"
fi
