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
        path = os.fspath(audio)
        if isinstance(path, str) and os.path.isfile(path):
            return path
    return None


def _file_url(path: str) -> str:
    """``path`` as ffmpeg's file protocol names it: ffmpeg reads a bare name as a URL, so a file
    called "concat:a.wav", "pipe:0" or "-" would read other files or the standard input."""
    return "file:" + os.path.abspath(path)


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _check_destination(out_mp4: str) -> None:
    """ValueError, naming the path, when ``out_mp4`` exists and is not a regular file (the file a
    link leads to counts): the finished video replaces what the path names, and a FIFO, a device,
    a socket or a directory is not ours to replace."""
    try:
        mode = os.stat(out_mp4).st_mode
    except FileNotFoundError:
        return
    if stat.S_ISREG(mode):
        return
    kind = next((name for test, name in _KINDS if test(mode)), "not a regular file")
    raise ValueError(f"out_mp4 must be a regular file or a new name; {out_mp4!r} is {kind}")


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
    then renamed); on any failure nothing is left behind. A destination that exists and is not a
    regular file is refused with ValueError before any frame, and again before the rename. Errors
    of the render propagate; ffmpeg's failure raises ``Failed`` (of ``quorvane._errors``)."""
    from ._errors import Failed, refuse

    out_mp4 = os.fspath(out_mp4)
    _check_destination(out_mp4)
    if shutil.which("ffmpeg") is None:
        raise Failed("writing an MP4 needs ffmpeg, which is not installed")
    fps = _fps_of(avatar)
    speech = _speech_file(audio)
    directory = os.path.dirname(os.path.abspath(out_mp4))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(out_mp4) + ".", suffix=".part")
    os.close(fd)
    errlog = tempfile.TemporaryFile()
    ff = None
    frames = avatar.render(audio)
    n = 0
    shape = None
    try:
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
        _check_destination(out_mp4)  # what the path names may have changed during the render
        os.replace(tmp, out_mp4)
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
