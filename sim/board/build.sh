#!/usr/bin/env bash
# Builds the virtual board into build-board/ (git-ignored):
#   - fetches Debian's armhf armmp kernel image and headers, the host kbuild tools and
#     busybox-static:armhf with apt-get download and unpacks them (nothing is installed);
#   - builds the board driver module (sim/kernel + the board model of sim/model) with W=1;
#   - builds the static musl qn_shell and the in-guest request fuzzer;
#   - packs the initramfs (busybox, qn_shell, the module, /init).
# Needs root only to install missing host packages. Prints the paths it made.
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$PWD
out=${QN_BOARD_DIR:-$top/build-board}
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$out"

. "$top/scripts/install.sh"
install() { qn_install "$@"; }
install make cmake cpio gzip qemu-system-arm gcc-arm-linux-gnueabihf musl-dev:armel \
  g++-arm-linux-gnueabi linux-libc-dev-armel-cross python3-labgrid python3-pytest python3-pexpect
# (the kernel packages are fetched, not installed: armhf must be known to apt)
if ! dpkg --print-foreign-architectures | grep -qx armhf; then dpkg --add-architecture armhf; qn_apt_updated=0; fi
apt-cache show linux-image-armmp:armhf >/dev/null 2>&1 || qn_apt_update

# --- kernel packages ------------------------------------------------------------------
# The ABI is whatever the armmp meta package points at today.
# (awk reads to the end: an early exit would end apt-cache with SIGPIPE, which pipefail
# and set -e turn into a silent failure of the whole build)
image_pkg=$(apt-cache depends linux-image-armmp:armhf | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ && !n++ {print $2}')
image_pkg=${image_pkg%:armhf}
flavour_abi=${image_pkg#linux-image-}     # e.g. 6.1.0-NN-armmp
abi=${flavour_abi%-armmp}                  # e.g. 6.1.0-NN
[ -n "$abi" ] && [ "$abi" != "$flavour_abi" ] || { echo "cannot resolve the armmp kernel ABI"; exit 1; }
kbuild_pkg=$(apt-cache depends "linux-headers-$flavour_abi:armhf" | awk '$1 == "Depends:" && $2 ~ /^linux-kbuild-/ && !n++ {print $2}')
kbuild_pkg=${kbuild_pkg%:armhf}
[ -n "$kbuild_pkg" ] || { echo "cannot resolve the kbuild package of linux-headers-$flavour_abi"; exit 1; }
echo "== kernel $flavour_abi (kbuild: $kbuild_pkg)"

debs=$out/debs
root=$out/root            # every package unpacked into one tree
mkdir -p "$debs"
fetch() { # package[:arch] ...: download what is not there yet
  local pkgarg name arch have
  for pkgarg in "$@"; do
    name=${pkgarg%%:*}; arch=${pkgarg#*:}; [ "$arch" = "$pkgarg" ] && arch=$(dpkg --print-architecture)
    have=$(ls "$debs"/"${name}"_*_"${arch}".deb "$debs"/"${name}"_*_all.deb 2>/dev/null | head -n 1 || true)
    [ -n "$have" ] && continue
    (cd "$debs" && apt-get download -q "$pkgarg" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    ls "$debs"/"${name}"_*.deb >/dev/null 2>&1 || { echo "download of $pkgarg failed"; exit 1; }
  done
}
fetch "$image_pkg:armhf" "linux-headers-$flavour_abi:armhf" "linux-headers-$abi-common" \
  "$kbuild_pkg" busybox-static:armhf
stamp=$root/.unpacked
if [ ! -f "$stamp" ] || [ -n "$(find "$debs" -newer "$stamp" -name '*.deb')" ]; then
  rm -rf "$root"; mkdir -p "$root"
  for d in "$debs"/*.deb; do
    case ${d##*/} in
      linux-image-*) # the kernel and the board's device tree; its modules are not needed
        dpkg-deb --fsys-tarfile "$d" | tar -x -C "$root" --wildcards './boot/vmlinuz-*' './boot/config-*' \
          './usr/lib/linux-image-*/vexpress-v2p-ca9.dtb' ;;
      *) dpkg-deb -x "$d" "$root" ;;
    esac
  done
  # The flavour's Makefile names the common tree by its absolute path on an installed
  # system: point it at the unpacked copy.
  sed -i "s|/usr/src/linux-headers-$abi-common|$root/usr/src/linux-headers-$abi-common|g" \
    "$root/usr/src/linux-headers-$flavour_abi/Makefile"
  touch "$stamp"
fi
kdir=$root/usr/src/linux-headers-$flavour_abi
vmlinuz=$root/boot/vmlinuz-$flavour_abi
dtb=$root/usr/lib/linux-image-$flavour_abi/vexpress-v2p-ca9.dtb
for f in "$kdir/Makefile" "$vmlinuz" "$dtb" "$root/bin/busybox"; do
  [ -e "$f" ] || { echo "missing after unpacking: $f"; exit 1; }
done

# --- board driver module --------------------------------------------------------------
# The module's sources and the board model are copied into one build folder, so the
# kernel's build leaves its objects there and nothing in the source tree.
mod=$out/module
mkdir -p "$mod"
mkdir -p "$mod/model"
rm -f "$mod"/*.[ch] "$mod"/Kbuild "$mod"/model/*.[ch]
cp -p sim/kernel/Kbuild sim/kernel/*.[ch] "$mod"/
cp -p sim/model/*.[ch] "$mod/model/"
echo "== board driver module (W=1)"
log=$out/module-build.log
make -s -C "$kdir" M="$mod" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- W=1 -j"$jobs" modules 2>&1 | tee "$log"
if grep -E 'warning:|error:' "$log" >/dev/null; then echo "the module build is not warning-free"; exit 1; fi
ko=$mod/qn_board.ko
[ -f "$ko" ] || { echo "no module built"; exit 1; }

# --- guest programs --------------------------------------------------------------------
echo "== static qn_shell (armel musl)"
[ -f build-musl/CMakeCache.txt ] ||
  cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/armel-musl-static.cmake >/dev/null
cmake --build build-musl -j"$jobs" --target qn_shell >/dev/null
# (musl carries no kernel headers: linux/userfaultfd.h comes from the armel cross set)
arm-linux-musleabi-gcc -std=c99 -Os -static -s -Wall -Wextra -Werror -pthread \
  -idirafter /usr/arm-linux-gnueabi/include -o "$out/qn_fuzz" sim/board/qn_fuzz.c

# --- initramfs -------------------------------------------------------------------------
echo "== initramfs"
ir=$out/initramfs
rm -rf "$ir"; mkdir -p "$ir"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,etc,root,lib/modules}
cp "$root/bin/busybox" "$ir/bin/busybox"
ln -s busybox "$ir/bin/sh"    # for /init; init makes the other links
cp build-musl/qn_shell "$out/qn_fuzz" "$ir/usr/bin/"
cp "$ko" "$ir/lib/modules/"
cp sim/board/init "$ir/init"
cp sim/board/ctl-agent "$ir/sbin/ctl-agent"
chmod 755 "$ir/init" "$ir/sbin/ctl-agent"
cp sim/board/inittab sim/board/profile "$ir/etc/"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$ir/etc/passwd"
printf 'root:x:0:\n' >"$ir/etc/group"
(cd "$ir" && find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --owner 0:0 --quiet) | gzip -9n >"$out/initrd.gz"

# Paths for the launcher and the test suite.
cat >"$out/board.env" <<EOV
QN_BOARD_KERNEL=$vmlinuz
QN_BOARD_DTB=$dtb
QN_BOARD_INITRD=$out/initrd.gz
QN_BOARD_ABI=$flavour_abi
EOV
ln -sf "$vmlinuz" "$out/vmlinuz"
ln -sf "$dtb" "$out/vexpress-v2p-ca9.dtb"
echo "== board image ready: $out/vmlinuz $out/vexpress-v2p-ca9.dtb $out/initrd.gz"
