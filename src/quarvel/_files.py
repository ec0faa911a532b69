"""Writing files so that they are never left half written.

``write_atomic`` is the one way the package writes a model to disk: ``IDF.save``, the
older vocabulary's ``save``/``saveas`` and the command line all come here.
"""

from __future__ import annotations

import errno
import os
import stat
from typing import IO, Any

# Binary mode where the platform distinguishes it; no inheritance by child processes.
_CREATE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)


def write_atomic(target: Any, data: bytes) -> None:
    """Write ``data`` to ``target``, a path or a writable file object.

    A path is written through a temporary file in the same folder, flushed to disk and
    then renamed over the target, so that the target holds either its old content or
    all of the new, never part of it, even when writing fails midway (a full disk, a
    file-size limit) or another process reads it meanwhile. The target keeps its
    permission bits; a new file gets the ones the umask allows, and a file the user may not
    write is refused with PermissionError, unchanged. A symbolic link stays a
    link: the file it points to is replaced. A target that is not a regular file (a
    terminal, a pipe, a device) is written directly, as it cannot be replaced.
    """
    if hasattr(target, "write") and not isinstance(target, (str, bytes, os.PathLike)):
        _write_to_stream(target, data)
        return
    path = os.path.realpath(os.fsdecode(os.fspath(target)))
    try:
        existing = os.stat(path)
    except FileNotFoundError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        with open(path, "wb") as stream:
            stream.write(data)
        return
    if existing is not None and not os.access(path, os.W_OK):
        # Renaming over it would succeed where the folder is writable; a read-only file
        # says it is not to be changed, as opening it for writing would.
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fspath(target))
    folder, name = os.path.split(path)
    temporary, descriptor = _create_beside(folder, name)
    try:
        if existing is not None:
            _copy_mode(descriptor, temporary, stat.S_IMODE(existing.st_mode))
        view = memoryview(data)
        while view:
            view = view[os.write(descriptor, view):]
        os.fsync(descriptor)
        os.close(descriptor)
        descriptor = -1
        os.replace(temporary, path)
    except BaseException:
        if descriptor >= 0:
            os.close(descriptor)
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_folder(folder)


def _write_to_stream(stream: IO[Any], data: bytes) -> None:
    """A file object opened for bytes takes them; one opened for text takes the text."""
    try:
        stream.write(data)
    except TypeError:
        stream.write(data.decode("utf-8"))


def _create_beside(folder: str, name: str) -> tuple[str, int]:
    """A new, empty file in ``folder`` for the text of ``name``, opened for writing.

    Created with mode 0o666, from which the operating system takes the umask, so that a
    new target ends with the mode any new file of the user's would have.
    """
    target = os.path.join(folder, name)
    for _ in range(100):
        temporary = os.path.join(folder, f".{name}.{os.urandom(4).hex()}.tmp")
        try:
            return temporary, os.open(temporary, _CREATE_FLAGS, 0o666)
        except FileExistsError:
            continue
        except OSError as error:
            # Reported against the file the caller named, not the temporary one.
            raise type(error)(error.errno, error.strerror, target) from None
    raise FileExistsError(f"no free temporary name beside {target!r}")


def _copy_mode(descriptor: int, path: str, mode: int) -> None:
    if os.chmod in os.supports_fd:
        os.chmod(descriptor, mode)
    else:
        os.chmod(path, mode)


def _sync_folder(folder: str) -> None:
    """Make the rename itself durable where the platform allows a folder to be synced."""
    if os.name != "posix":
        return
    try:
        descriptor = os.open(folder or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)
