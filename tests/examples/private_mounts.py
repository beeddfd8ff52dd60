"""Mount namespaces of the test process's own, for the tests that install
orv, run what they installed or look up installed files: whatever they
mount or write below a hidden or overlaid directory goes with the process,
and nothing the machine had installed (a `cmake --install` into /usr/local,
an orv package) is found in place of what the test made. Needs root."""

import ctypes
import os
import tempfile

CLONE_NEWNS = 0x00020000
MS_REC = 0x4000
MS_PRIVATE = 0x40000
MNT_DETACH = 2

_libc = ctypes.CDLL(None, use_errno=True)


def _call(name: str, *args) -> None:
    if getattr(_libc, name)(*args) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, f"{name}{args[:2]}: {os.strerror(errno)}")


def _mount(source: str, target: str, kind: str, options: str) -> None:
    _call("mount", source.encode(), target.encode(), kind.encode(), 0, options.encode())


def private_namespace() -> None:
    """A mount namespace of this process's own; mounts made in it stay in it."""
    _call("unshare", CLONE_NEWNS)
    _call("mount", b"none", b"/", None, MS_REC | MS_PRIVATE, None)


def hide(*directories: str) -> None:
    """Each directory becomes an empty tmpfs (in a private namespace only)."""
    for directory in directories:
        _mount("tmpfs", directory, "tmpfs", "mode=0755")


def hide_var_log() -> None:
    """A private namespace in which /var/log is empty: a /var/log/orv made
    and removed there is not the machine's."""
    private_namespace()
    hide("/var/log")


def without_usr_local() -> None:
    """A private namespace in which /usr/local is empty: compilers, pkg-config,
    CMake, python3 and PATH find no orv that `cmake --install` put there."""
    private_namespace()
    hide("/usr/local")


# /lib, /bin and /sbin are links into /usr on Debian 12, so these hold every
# file a package installs and the dpkg database (/var/lib/dpkg).
OVERLAID = ("/usr", "/etc", "/var")


def throwaway_system() -> None:
    """A private namespace in which /usr, /etc and /var are overlays whose
    changes go to a tmpfs that vanishes with the namespace: `dpkg --install`
    and `dpkg --purge` change nothing outside it. /usr/local and /var/log are
    empty, and so is /run/systemd, so that a maintainer script finds no
    running systemd to reload."""
    private_namespace()
    scratch = tempfile.mkdtemp(prefix="orv-throwaway-system-")
    hide(scratch)
    for directory in OVERLAID:
        upper, work = (os.path.join(scratch, directory.strip("/"), layer) for layer in ("upper", "work"))
        os.makedirs(upper)
        os.makedirs(work)
        _mount("overlay", directory, "overlay", f"lowerdir={directory},upperdir={upper},workdir={work}")
    # The overlays keep their layers; the scratch directory itself can go.
    _call("umount2", scratch.encode(), MNT_DETACH)
    os.rmdir(scratch)
    hide("/usr/local", "/var/log", *(["/run/systemd"] if os.path.isdir("/run/systemd") else []))
