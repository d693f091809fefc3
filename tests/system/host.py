#!/usr/bin/env python3
"""The host side of the system test: boots the guest under QEMU with its two real ports (a
second 16550 UART and an FTDI usb-serial adapter, both on unix-socket chardevs) and a
virtio-gpu with two heads (monitors with EDID), feeds controller packets into the ports when
the guest asks, plugs the adapter out and in through QMP, takes pictures of what a head shows,
and prints the guest's result lines and the closing count.

Usage: host.py --base IMG --kernel K --initrd I --share DIR --work DIR [--accel auto|kvm|tcg]
               [--verdict FILE] [--timeout S]
Exit status 0 when every check passed, 1 otherwise."""
import argparse
import json
import os
import re
import select
import socket
import subprocess
import sys
import time

KVM_BOOT_S = 25  # a kernel that boots under KVM reaches its init in a few seconds
PLUG_WAIT_S = 20
HEADS = 2
DUMP_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]{0,63}")
TOUCH, LIFT = 0x81, 0x84


def log(text):
    print("host: " + text, file=sys.stderr, flush=True)


def packet(status, x, y):
    """A controller touch packet: sync 55 54, status, x and y little-endian, three spare bytes."""
    return bytes([0x55, 0x54, status, x & 0xFF, x >> 8, y & 0xFF, y >> 8, 0, 0, 0])


def connect(path, deadline):
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def qemu_command(a, accel):
    w = a.work
    cmd = ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
           "-machine", "q35", "-m", "1024"]
    if accel == "kvm":
        cmd += ["-accel", "kvm", "-smp", "2"]
    else:
        # One virtual CPU: on a busy host two of them spin on each other's locks (soft
        # lockups of a minute were seen at boot) and the guest runs slower, not faster.
        cmd += ["-accel", "tcg", "-cpu", "max"]
    cmd += ["-kernel", a.kernel, "-initrd", a.initrd,
            # QEMU connects only the first head while no display window asks for more: the
            # kernel takes the second as connected (its EDID is there all the same).
            "-append", "root=/dev/vda rw console=ttyS0,115200 panic=-1 net.ifnames=0 video=Virtual-2:e",
            "-device", "virtio-gpu-pci,id=gpu,max_outputs=2,edid=on,xres=1024,yres=768",
            "-drive", "file=%s/overlay.qcow2,if=virtio,format=qcow2,cache=unsafe" % w,
            "-chardev", "file,id=con,path=%s/console.log" % w, "-serial", "chardev:con",
            "-chardev", "socket,id=uart1,path=%s/uart1.sock,server=on,wait=off" % w,
            "-serial", "chardev:uart1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "socket,id=usb0,path=%s/usb0.sock,server=on,wait=off" % w,
            "-device", "usb-serial,id=usbser,chardev=usb0,bus=xhci.0,port=1",
            "-device", "virtio-serial-pci,id=vser",
            "-chardev", "socket,id=ctl,path=%s/ctl.sock,server=on,wait=off" % w,
            "-device", "virtserialport,chardev=ctl,name=st.ctl",
            "-virtfs", "local,path=%s,mount_tag=st,security_model=none,id=st" % a.share,
            "-qmp", "unix:%s/qmp.sock,server=on,wait=off" % w]
    return cmd


class Machine:
    """One QEMU process and the host's ends of its sockets."""

    def __init__(self, a, accel):
        w = a.work
        for name in ("overlay.qcow2", "console.log"):
            if os.path.exists(os.path.join(w, name)):
                os.unlink(os.path.join(w, name))
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b",
                        os.path.abspath(a.base), os.path.join(w, "overlay.qcow2")], check=True)
        self.proc = subprocess.Popen(qemu_command(a, accel), stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        self.qmp = connect(w + "/qmp.sock", deadline)
        self.qmp_buf = b""
        self.events = []
        self.qmp_read()  # greeting
        self.qmp_call("qmp_capabilities")
        # The adapter is attached only while its chardev has a client: connect it first.
        self.ports = {"USB": connect(w + "/usb0.sock", deadline), "S1": connect(w + "/uart1.sock", deadline)}
        self.ctl = connect(w + "/ctl.sock", deadline)
        self.ctl_buf = b""
        self.console = os.path.join(w, "console.log")
        self.share = a.share

    def qmp_read(self, timeout=10):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.qmp_buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.qmp], [], [], left)[0]:
                raise TimeoutError("QMP did not answer")
            data = self.qmp.recv(65536)
            if not data:
                raise ConnectionError("QMP closed")
            self.qmp_buf += data
        line, self.qmp_buf = self.qmp_buf.split(b"\n", 1)
        return json.loads(line)

    def qmp_call(self, command, **args):
        self.qmp.sendall(json.dumps({"execute": command, "arguments": args}).encode() + b"\n")
        while True:
            msg = self.qmp_read()
            if "event" in msg:
                self.events.append(msg)
            elif "error" in msg:
                raise RuntimeError("%s: %s" % (command, msg["error"].get("desc")))
            elif "return" in msg:
                return msg["return"]

    def wait_event(self, name, device, timeout):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e["event"] == name and e.get("data", {}).get("device") == device:
                    self.events.remove(e)
                    return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            try:
                msg = self.qmp_read(left)
            except TimeoutError:
                return False
            if "event" in msg:
                self.events.append(msg)

    def unplug(self):
        self.qmp_call("device_del", id="usbser")
        return self.wait_event("DEVICE_DELETED", "usbser", PLUG_WAIT_S)

    def plug(self):
        # Back on the same USB port: QEMU makes the adapter's serial number from the port's
        # path, and a real adapter's serial number does not change when it is plugged again.
        self.qmp_call("device_add", driver="usb-serial", id="usbser", chardev="usb0", bus="xhci.0", port="1")
        return True

    def screendump(self, head, name):
        """What the head shows now, as NAME.ppm in the share (the monitor's pixels, as scanned out)."""
        if head not in range(HEADS) or not DUMP_NAME.fullmatch(name):
            raise ValueError("screendump takes a head below %d and a plain name" % HEADS)
        self.qmp_call("screendump", filename=os.path.join(os.path.abspath(self.share), name + ".ppm"),
                      device="gpu", head=head)

    def console_has(self, *texts):
        try:
            with open(self.console, "rb") as f:
                data = f.read()
        except OSError:
            return False
        return any(t.encode() in data for t in texts)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for s in [self.qmp, self.ctl] + list(self.ports.values()):
            s.close()


class Run:
    """The guest's requests and results."""

    def __init__(self, machine):
        self.m = machine
        self.passed = self.failed = self.skipped = 0
        self.done = False

    def answer(self, line):
        words = line.split()
        if not words:
            return "err empty"
        what = words[0]
        if what == "result" and len(words) >= 3:
            # A check that cannot run here (what it needs is missing) says why and counts as neither.
            verdict = {"pass": "PASS", "skip": "SKIP"}.get(words[1], "FAIL")
            print(verdict + " " + line.split(None, 2)[2], flush=True)
            self.passed += verdict == "PASS"
            self.failed += verdict == "FAIL"
            self.skipped += verdict == "SKIP"
            return "ok"
        if what == "note":
            log("guest: " + line[5:])
            return "ok"
        if what in ("tap", "touch", "lift") and len(words) == 4 and words[1] in self.m.ports:
            # A tap is a touch and its lift; a drag or a long press is touches, then a lift.
            x, y = int(words[2]), int(words[3])
            data = {"tap": packet(TOUCH, x, y) + packet(LIFT, x, y), "touch": packet(TOUCH, x, y),
                    "lift": packet(LIFT, x, y)}[what]
            self.m.ports[words[1]].sendall(data)
            return "ok"
        if what == "burst" and len(words) == 3 and words[1] in self.m.ports:
            # N touch packets along a diagonal, then the lift: a steady load for the CPU counts.
            n = min(int(words[2]), 100000)
            data = b"".join(packet(TOUCH, 100 + i % 800, 100 + i % 500) for i in range(n))
            self.m.ports[words[1]].sendall(data + packet(LIFT, 100, 100))
            return "ok"
        if what == "unplug":
            return "ok" if self.m.unplug() else "err the adapter did not go"
        if what == "plug":
            return "ok" if self.m.plug() else "err"
        if what == "screendump" and len(words) == 3:
            self.m.screendump(int(words[1]), words[2])
            return "ok"
        if what == "done":
            self.done = True
            return "ok"
        return "err unknown request"

    def serve(self, deadline):
        m = self.m
        watched = [m.ctl] + list(m.ports.values())
        while m.proc.poll() is None:
            left = deadline - time.monotonic()
            if left <= 0:
                log("time is up")
                return False
            ready = select.select(watched, [], [], min(left, 1.0))[0]
            for s in ready:
                data = s.recv(65536)
                if not data:
                    watched.remove(s)  # closed: QEMU is going
                    continue
                if s is not m.ctl:
                    continue  # what the daemon writes to a port is not looked at
                m.ctl_buf += data
                while b"\n" in m.ctl_buf:
                    line, m.ctl_buf = m.ctl_buf.split(b"\n", 1)
                    try:
                        reply = self.answer(line.decode(errors="replace").strip())
                    except (RuntimeError, ValueError, OSError) as e:
                        reply = "err %s" % e
                    m.ctl.sendall(reply.encode() + b"\n")
        return self.done


def boots_under_kvm(m):
    deadline = time.monotonic() + KVM_BOOT_S
    while time.monotonic() < deadline and m.proc.poll() is None:
        if m.console_has("Run /init as init process", "systemd[1]"):
            return True
        time.sleep(0.5)
    return False


def start(a):
    """KVM where it boots this kernel, TCG otherwise; a hang found once is remembered."""
    usable = os.access("/dev/kvm", os.R_OK | os.W_OK)
    known_bad = a.verdict and os.path.exists(a.verdict)
    if a.accel == "kvm" or (a.accel == "auto" and usable and not known_bad):
        m = Machine(a, "kvm")
        if boots_under_kvm(m):
            log("KVM boots the guest")
            return m
        log("the guest does not boot under KVM here (no init within %d s): TCG" % KVM_BOOT_S)
        m.stop()
        if a.verdict:
            with open(a.verdict, "w") as f:
                f.write("the kernel hangs under this machine's KVM\n")
    elif known_bad:
        log("KVM did not boot the guest here before (%s): TCG" % a.verdict)
    return Machine(a, "tcg")


def main():
    p = argparse.ArgumentParser()
    for opt in ("--base", "--kernel", "--initrd", "--share", "--work"):
        p.add_argument(opt, required=True)
    p.add_argument("--accel", default="auto", choices=["auto", "kvm", "tcg"])
    p.add_argument("--verdict")
    p.add_argument("--timeout", type=int, default=900)
    a = p.parse_args()
    began = time.monotonic()
    m = start(a)
    run = Run(m)
    try:
        finished = run.serve(began + a.timeout)
    finally:
        m.stop()
    if not finished:
        print("FAIL scenario: the guest did not finish (see %s/console.log)" % a.work, flush=True)
        run.failed += 1
    log("%.0f s in the guest" % (time.monotonic() - began))
    print("%d passed, %d failed%s" % (run.passed, run.failed,
                                      ", %d skipped" % run.skipped if run.skipped else ""), flush=True)
    return 0 if run.failed == 0 and run.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
