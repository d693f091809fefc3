#!/usr/bin/env bash
# Builds the system test's Debian 12 guest: a root tree made by mmdebstrap from this machine's
# own apt sources, the scenario unit in it, an ext4 image of it (mke2fs -d) and its kernel and
# initrd beside it. Usage: image.sh OUT_DIR PACKAGE...   (root only; OUT_DIR must not exist)
set -euo pipefail
out=$1
shift
pkgs=$(IFS=,; echo "$*")

# The host's own sources: the tree names no archive of its own.
sources=
for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do
    if [ -s "$f" ]; then sources=$f; break; fi
done
[ -n "$sources" ] || { echo "image.sh: no apt sources on this machine" >&2; exit 1; }

work=$(mktemp -d "${out%/}.tmp.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root

# In the guest: the 9p share with the scenario at /mnt/st, and the unit that runs it once the
# system is up. The machine has no network: nothing waits for one.
write_guest_files() {
    local r=$1
    echo quilmod-guest > "$r/etc/hostname"
    printf '/dev/vda / ext4 errors=remount-ro 0 1\n' > "$r/etc/fstab"
    mkdir -p "$r/mnt/st" "$r/etc/systemd/system/multi-user.target.wants"
    cat > "$r/etc/systemd/system/systemtest.service" <<'EOF'
[Unit]
Description=quilmod system test scenario
After=multi-user.target quilmod.service systemd-udev-settle.service
ConditionPathExists=!/var/lib/systemtest/finished

[Service]
Type=oneshot
ExecStartPre=/sbin/modprobe -a 9pnet_virtio 9p virtio_console
ExecStartPre=/bin/sh -c 'mountpoint -q /mnt/st || mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 st /mnt/st'
ExecStart=/bin/bash /mnt/st/guest.sh
StandardOutput=journal+console
StandardError=journal+console
TimeoutStartSec=infinity

[Install]
WantedBy=multi-user.target
EOF
    ln -sf ../systemtest.service "$r/etc/systemd/system/multi-user.target.wants/systemtest.service"
    # Nothing to fetch, nothing to time: units that only wait or fail without a network.
    local u
    for u in apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
        systemd-networkd-wait-online.service getty@tty1.service; do
        ln -sf /dev/null "$r/etc/systemd/system/$u"
    done
    chroot "$r" passwd -d root >/dev/null
}

# A small initrd with only what finds the root (virtio disk, ext4): every boot under TCG
# unpacks it, and the full one is 35 MB. Made in a hook, where /proc and /dev are mounted.
small_initrd='echo MODULES=list > "$1/etc/initramfs-tools/conf.d/quilmod-systemtest" &&
    printf "virtio_pci\nvirtio_blk\next4\n" >> "$1/etc/initramfs-tools/modules" &&
    chroot "$1" update-initramfs -u -k all >/dev/null'
# Documentation, manuals and translations are not unpacked while the root is made (a third of
# its files); the rule goes again before the package under test is installed in the guest.
nodoc=(--dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*'
       --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*')
mmdebstrap --quiet --variant=minbase --include="$pkgs" "${nodoc[@]}" --customize-hook="$small_initrd" \
    --customize-hook='rm -f "$1/etc/dpkg/dpkg.cfg.d/99mmdebstrap"' bookworm "$root" "$sources"
write_guest_files "$root"

mkdir -p "$work/out"
cp "$root"/boot/vmlinuz-* "$work/out/vmlinuz"
cp "$root"/boot/initrd.img-* "$work/out/initrd.img"
chmod 644 "$work/out/vmlinuz" "$work/out/initrd.img"
size_mb=$(( $(du -sm "$root" | cut -f1) + 768 ))
mke2fs -q -t ext4 -d "$root" -L quilmod-root "$work/out/root.img" "${size_mb}M"
mv "$work/out" "$out"
