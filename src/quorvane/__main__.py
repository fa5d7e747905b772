"""The package's MP4 writer, ``_write``, behind ``Avatar.render(audio, out_mp4=...)``.

``python -m quorvane`` only prints how to use the package: rendering is done from Python.
"""

from __future__ import annotations

import os
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
    ``audio`` itself when it is a path, and the path items of a list or tuple (any other stream is
    read only as the render pulls it)."""
    items = audio if isinstance(audio, (list, tuple)) else (audio,)
    return [os.fsdecode(item) for item in items if isinstance(item, (str, os.PathLike))]


def _noting_files(audio, files: list[str]):
    """``audio`` passed on item by item, its path items added to ``files`` as the render pulls
    them: a stream names its files only then, and the video must not replace one of them."""
    it = iter(audio)
    try:
        for item in it:
            if isinstance(item, (str, os.PathLike)):
                files.append(os.fsdecode(item))
            yield item
    finally:
        close = getattr(it, "close", None)
        if close is not None:
            close()


def _file_url(path: str) -> str:
    """``path`` as ffmpeg's file protocol names it: ffmpeg reads a bare name as a URL, so a file
    called "concat:a.wav", "pipe:0" or "-" would read other files or the standard input."""
    return "file:" + os.path.abspath(path)


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _check_destination(out_mp4: str, target: str, audio, streamed: tuple[str, ...] = ()) -> None:
    """ValueError, naming the path, when the video may not replace what ``out_mp4`` names: its
    ``target`` (the file a link leads to) exists and is not a regular file (a FIFO, a device, a
    socket or a directory is not ours to replace), or it is one of the files the speech is read
    from (``streamed``: those a stream has named so far), which the video would destroy. OSError naming ``out_mp4`` when its target cannot be
    looked up (a file where a directory should be, a loop of links)."""
    try:
        st = os.stat(target)
    except FileNotFoundError:
        return
    except OSError as e:
        raise _unwritable(e, out_mp4) from e
    if not stat.S_ISREG(st.st_mode):
        kind = next((name for test, name in _KINDS if test(st.st_mode)), "not a regular file")
        raise ValueError(f"out_mp4 must be a regular file or a new name; {out_mp4!r} is {kind}")
    for path in (*_audio_files(audio), *streamed):
        try:
            src = os.stat(path)
        except OSError:
            continue  # no file there: the render reports it
        if (src.st_dev, src.st_ino) == (st.st_dev, st.st_ino):
            same = "" if path == out_mp4 else f" ({path!r})"
            raise ValueError(f"out_mp4 must not name the audio file; {out_mp4!r} is the speech being rendered{same}")


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


# The random part of a name that tempfile.mkstemp makes (its name sequence gives 8 characters).
_RANDOM_CHARS = 8


def _temp_file(target: str, out_mp4: str) -> str:
    """A new empty file beside ``target``, ``.<name>.<random>.part``, with the name cut short to
    fit the directory's longest file name: a destination of any length the file system allows
    gets one. OSError naming ``out_mp4`` when its directory is missing or cannot be written."""
    directory, name = os.path.split(target)
    try:
        name_max = os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError):
        name_max = 255
    fixed = len(b"..") + _RANDOM_CHARS + len(b".part")
    while name and len(os.fsencode(name)) + fixed > name_max:
        name = name[:-1]
    try:
        fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + name + ".", suffix=".part")
    except OSError as e:
        raise _unwritable(e, out_mp4) from e
    os.close(fd)
    return tmp


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
    then renamed over it; through a link, over the file the link leads to); on any failure nothing
    is left behind. Before any frame, and again before the rename, these are refused with
    ValueError: an empty name, one that ends in a slash, "." or "..", a destination that exists
    and is not a regular file, and the audio file itself; a missing or unwritable directory with
    OSError.
    Errors of the render propagate; ffmpeg's failure raises ``Failed`` (of ``quorvane._errors``)."""
    from ._errors import Failed, refuse

    out_mp4 = os.fsdecode(out_mp4)
    target = _target_of(out_mp4)
    _check_destination(out_mp4, target, audio)
    if shutil.which("ffmpeg") is None:
        raise Failed("writing an MP4 needs ffmpeg, which is not installed")
    fps = _fps_of(avatar)
    speech = _speech_file(audio)
    tmp = _temp_file(target, out_mp4)
    streamed: list[str] = []
    if not isinstance(audio, (str, bytes, bytearray, memoryview, os.PathLike, np.ndarray, list, tuple)) and hasattr(
            audio, "__iter__"):
        audio = _noting_files(audio, streamed)
    errlog = ff = frames = None
    n = 0
    shape = None
    try:
        errlog = tempfile.TemporaryFile()
        frames = avatar.render(audio)
        for frame in frames:
            img = np.asarray(frame)
            if img.dtype != np.uint8 or img.ndim != 3 or img.shape[2] != 3:
                raise ValueError(f"frames must be uint8 height x width x 3; got {img.dtype} {img.shape}")
            if ff is None:
                shape = img.shape
                ff = subprocess.Popen(_ffmpeg_args(shape[1], shape[0], fps, speech, tmp),
                                      stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=errlog)
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
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        # What the path names may have changed meanwhile, and a stream may have named it.
        _check_destination(out_mp4, target, audio, tuple(streamed))
        os.replace(tmp, target)
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
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    finally:
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
