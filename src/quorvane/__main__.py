"""The package's MP4 writer, ``_write``, behind ``Avatar.render(audio, out_mp4=...)``.

``python -m quorvane`` only prints how to use the package: rendering is done from Python.
"""

from __future__ import annotations

import errno
import os
import secrets
import shutil
import stat
import subprocess
import sys
import tempfile

import numpy as np

DEFAULT_FPS = 25
_USAGE = """usage: python -m quorvane

quorvane is used from Python:

    import quorvane
    with quorvane.open("avatar.imx") as avatar:
        n = avatar.render("speech.wav", out_mp4="out.mp4")
"""


def _fps_of(avatar) -> float:
    fps = getattr(getattr(avatar, "_engine", None), "frames_per_second", None)
    if isinstance(fps, (int, float)) and not isinstance(fps, bool) and fps > 0:
        return fps
    return DEFAULT_FPS


def _speech_file(audio) -> str | None:
    if isinstance(audio, (str, os.PathLike)):
        path = os.fsdecode(audio)
        if os.path.isfile(path):
            return path
    return None


def _audio_files(audio) -> list[str]:
    """The files the render reads its speech from, as far as they can be known before it starts:
    ``audio`` itself when it is a path, and the path items of a list or tuple, read from its own
    storage (the caller's ``__iter__`` runs once, for the render). The render tells the others as
    it opens them."""
    if isinstance(audio, tuple):
        items = tuple.__iter__(audio)
    elif isinstance(audio, list):
        items = list.__iter__(audio)
    else:
        items = iter((audio,))
    return [os.fsdecode(item) for item in items if isinstance(item, (str, os.PathLike))]


def _file_url(path: str) -> str:
    """``path`` as ffmpeg's file protocol names it: ffmpeg reads a bare name as a URL, so a file
    called "concat:a.wav", "pipe:0" or "-" would read other files or the standard input."""
    return "file:" + os.path.abspath(path)


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _check_destination(out_mp4: str, target: str, audio, opened=()) -> os.stat_result | None:
    """What ``out_mp4`` names now (None when nothing), once the video may replace it; else
    ValueError, naming the path: its ``target`` (the file a link leads to) exists and is not a
    regular file (a FIFO, a device, a socket or a directory is not ours to replace), or it is one
    of the files the speech is read from, which the video would destroy: ``audio`` itself or a
    path it lists, or one that ``opened`` records (device, inode and name of each file the audio
    conversion opened, whatever shape named it). OSError naming ``out_mp4`` when its target cannot
    be looked up (a file where a directory should be, a loop of links)."""
    try:
        st = os.stat(target)
    except FileNotFoundError:
        return None
    except OSError as e:
        raise _unwritable(e, out_mp4) from e
    if not stat.S_ISREG(st.st_mode):
        kind = next((name for test, name in _KINDS if test(st.st_mode)), "not a regular file")
        raise ValueError(f"out_mp4 must be a regular file or a new name; {out_mp4!r} is {kind}")
    sources = []
    for path in _audio_files(audio):
        try:
            src = os.stat(path)
        except OSError:
            continue  # no file there: the render reports it
        sources.append((src.st_dev, src.st_ino, path))
    for dev, ino, path in (*sources, *opened):
        if (dev, ino) == (st.st_dev, st.st_ino):
            same = "" if path == out_mp4 else f" ({path!r})"
            raise ValueError(f"out_mp4 must not name the audio file; {out_mp4!r} is the speech being rendered{same}")
    return st


def _unwritable(e: OSError, out_mp4: str) -> OSError:
    """``e`` told of ``out_mp4``, the name the caller gave, rather than of a name made from it."""
    return OSError(e.errno, f"out_mp4 cannot be written there: {e.strerror}", out_mp4)


def _target_of(out_mp4: str) -> str:
    """The file the video is to replace, as an absolute name without links in its directory:
    ``out_mp4``, or what a link there leads to (the link stays, as a file call that writes through
    it leaves it). The directory is looked up as a file call looks it up: "missing/../out.mp4"
    fails, rather than naming "out.mp4". ValueError for a name that is empty, holds a NUL byte or
    ends in a slash, "." or "..", which names no file; OSError naming ``out_mp4`` for a directory not there."""
    if out_mp4 == "":
        raise ValueError(f"out_mp4 must name a file; got {out_mp4!r}")
    if "\0" in out_mp4:
        raise ValueError(f"out_mp4 must not hold a NUL byte, which no file name can; got {out_mp4!r}")
    if out_mp4.endswith(os.sep) or os.path.basename(out_mp4) in (os.curdir, os.pardir):
        raise ValueError(f"out_mp4 must name a file, not a directory; got {out_mp4!r}")
    if os.path.islink(out_mp4):
        return os.path.realpath(out_mp4)
    directory, name = os.path.split(out_mp4)
    directory = directory or os.curdir
    try:
        os.stat(directory)
    except OSError as e:
        raise _unwritable(e, out_mp4) from e
    return os.path.join(os.path.realpath(directory), name)


# The random part of a temp file's name: 8 characters, as tempfile.mkstemp makes them.
_RANDOM_CHARS = 8
_NAME_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789_"


def _directory_of(target: str, out_mp4: str) -> int:
    """A descriptor of the directory ``target`` is in: the temp file is made, renamed and removed
    through it, so the video lands in that directory even if it is renamed meanwhile, and nothing
    is left in it when the render fails. OSError naming ``out_mp4`` when it cannot be opened."""
    flags = getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY | os.O_CLOEXEC
    try:
        return os.open(os.path.dirname(target), flags)
    except OSError as e:
        raise _unwritable(e, out_mp4) from e


def _temp_file(dir_fd: int, name: str, out_mp4: str) -> tuple[int, str]:
    """A new empty file, for this user alone until the video is complete, in the directory of
    ``dir_fd``: ``.<name>.<random>.part``, the name cut short to fit the directory's longest file
    name, so a destination of any length the file system allows gets one. Its descriptor and name.
    OSError naming ``out_mp4`` when the directory cannot be written."""
    try:
        name_max = os.fpathconf(dir_fd, "PC_NAME_MAX")
    except (OSError, ValueError):
        name_max = 255
    fixed = len(b"..") + _RANDOM_CHARS + len(b".part")
    while name and len(os.fsencode(name)) + fixed > name_max:
        name = name[:-1]
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(100):
        tmp = f".{name}.{''.join(secrets.choice(_NAME_CHARS) for _ in range(_RANDOM_CHARS))}.part"
        try:
            return os.open(tmp, flags, 0o600, dir_fd=dir_fd), tmp
        except FileExistsError:
            continue
        except OSError as e:
            raise _unwritable(e, out_mp4) from e
    raise _unwritable(FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST)), out_mp4)


def _default_mode() -> int:
    """The mode a new file gets under the process's umask: read where the system tells it, since
    setting it to learn it would change it, for a moment, for every thread."""
    try:
        with open("/proc/self/status", encoding="ascii", errors="replace") as f:
            umask = next(int(line.split()[1], 8) for line in f if line.startswith("Umask:"))
    except (OSError, StopIteration, IndexError, ValueError):
        umask = os.umask(0)
        os.umask(umask)
    return 0o666 & ~umask


def _output_of(fd: int, directory: str, tmp: str) -> tuple[str, tuple[int, ...]]:
    """What ffmpeg is told to write, and the descriptors it is handed: the temp file itself
    through ``/proc`` when there is one, so a directory renamed before ffmpeg starts does not send
    the video elsewhere; else its name."""
    if os.path.exists(f"/proc/self/fd/{fd}"):
        return f"/proc/self/fd/{fd}", (fd,)
    return os.path.join(directory, tmp), ()


def _ffmpeg_args(width: int, height: int, fps: float, speech: str | None, out: str) -> list[str]:
    args = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
            "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{width}x{height}", "-r", f"{fps:g}", "-i", "-"]
    if speech is not None:
        args += ["-i", _file_url(speech), "-map", "0:v:0", "-map", "1:a:0?", "-c:a", "aac"]
    # yuv420p needs even sides: pad an odd one by a pixel.
    args += ["-vf", "pad=ceil(iw/2)*2:ceil(ih/2)*2", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "mp4",
             _file_url(out)]
    return args


def _write(avatar, audio, out_mp4: str) -> int:
    """Render ``audio`` with ``avatar`` into the MP4 file ``out_mp4``: H.264 video at the engine's
    frame rate (25 when it gives none), plus the speech as AAC when ``audio`` is a file path.
    Returns the number of frames written. The file appears only when complete (written beside it,
    then renamed over it; through a link, over the file the link leads to), with the permission
    bits of the file it replaces (a new one gets the default under the umask); on any failure
    nothing is left behind. Before any frame, and again before the rename, these are refused with
    ValueError: an empty name, one that ends in a slash, "." or "..", a destination that exists
    and is not a regular file, and the audio file itself (before the rename also any file the
    render read its speech from); a missing or unwritable directory with OSError naming
    ``out_mp4``. Errors of the render propagate; ffmpeg's failure raises ``Failed`` (of
    ``quorvane._errors``)."""
    from . import _open
    from ._errors import Failed, refuse

    out_mp4 = os.fsdecode(out_mp4)
    target = _target_of(out_mp4)
    _check_destination(out_mp4, target, audio)
    if shutil.which("ffmpeg") is None:
        raise Failed("writing an MP4 needs ffmpeg, which is not installed")
    fps = _fps_of(avatar)
    speech = _speech_file(audio)
    directory, name = os.path.split(target)
    dir_fd = _directory_of(target, out_mp4)
    fd = tmp = errlog = ff = frames = None
    n = 0
    shape = None
    opened: list[tuple[int, int, str]] = []  # the files the render's audio conversion opens
    listening = _open._AUDIO_OPENED.set(opened)
    try:
        fd, tmp = _temp_file(dir_fd, name, out_mp4)
        errlog = tempfile.TemporaryFile()
        frames = avatar.render(audio)
        for frame in frames:
            img = np.asarray(frame)
            if img.dtype != np.uint8 or img.ndim != 3 or img.shape[2] != 3:
                raise ValueError(f"frames must be uint8 height x width x 3; got {img.dtype} {img.shape}")
            if ff is None:
                shape = img.shape
                out, fds = _output_of(fd, directory, tmp)
                ff = subprocess.Popen(_ffmpeg_args(shape[1], shape[0], fps, speech, out), stdin=subprocess.PIPE,
                                      stdout=subprocess.DEVNULL, stderr=errlog, pass_fds=fds)
            elif img.shape != shape:
                raise ValueError(f"frame {n} is {img.shape[1]}x{img.shape[0]}, the video is {shape[1]}x{shape[0]}")
            try:
                ff.stdin.write(np.ascontiguousarray(img).tobytes())
            except BrokenPipeError:
                break  # ffmpeg has stopped; its status and log say why
            n += 1
        if ff is None:
            raise Failed("that render gave no frames, so there is no video to write")
        try:
            ff.stdin.close()
        except BrokenPipeError:
            pass
        status = ff.wait()
        if status != 0:
            errlog.seek(0)
            log = errlog.read().decode("utf-8", "replace").strip()
            raise refuse(Failed, "could not write that video", f"ffmpeg exited with status {status}: {log[-300:]}")
        # What the path names may have changed meanwhile, and the render has opened its files.
        replaced = _check_destination(out_mp4, target, audio, opened)
        try:
            os.fchmod(fd, _default_mode() if replaced is None else stat.S_IMODE(replaced.st_mode))
            os.replace(tmp, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        except OSError as e:
            raise _unwritable(e, out_mp4) from e
        tmp = None
        return n
    except BaseException:
        if hasattr(frames, "close"):
            frames.close()
        if ff is not None:
            if ff.poll() is None:
                ff.kill()
            try:
                ff.stdin.close()
            except OSError:
                pass
            ff.wait()
        raise
    finally:
        _open._AUDIO_OPENED.reset(listening)
        if tmp is not None:
            try:
                os.unlink(tmp, dir_fd=dir_fd)
            except FileNotFoundError:
                pass
        if fd is not None:
            os.close(fd)
        os.close(dir_fd)
        if errlog is not None:
            errlog.close()


def main(argv: list[str]) -> int:
    """Print the usage text: on standard output with status 0 for -h/--help, else on standard
    error with status 2 (there is nothing to run from the command line)."""
    if argv in (["-h"], ["--help"]):
        print(_USAGE, end="")
        return 0
    print(_USAGE, end="", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
