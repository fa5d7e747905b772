// Python names of the audio input: every accepted shape of speech made into 16 kHz mono s16le
// PCM bytes, a whole clip told from a stream, and the frames a whole clip should give.
#include <pybind11/numpy.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "open/bind/common.h"
#include "open/bind/api.h"
#include "open/pcm.h"

namespace quorvane::open::bind {

bool is_path_like(py::handle obj) {
  return PyUnicode_Check(obj.ptr()) || is_instance(obj, global("os").attr("PathLike"));
}

namespace {

constexpr const char* kGeneralTypeError =
    "audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an "
    "iterable of those; got ";
constexpr const char* kArrayTypeError =
    "audio arrays must be int16, or float32/float64 in [-1, 1]; got ";
constexpr const char* kUnreadable = "could not read that audio";
constexpr const char* kChannelsError = "audio arrays must hold one channel of samples; got shape ";

bool is_byte_like(py::handle obj) {
  return PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr()) || PyMemoryView_Check(obj.ptr());
}

py::object to_bytes(py::handle obj) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBytes_Type))(obj);
}

/// numpy, or an empty object when it cannot be imported (any Exception while importing).
py::object numpy_or_none() {
  try {
    return import_module("numpy");
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) pb::raise_instance(e);
    return py::object();
  }
}

/// clip, scale by 32767 in T's precision, truncate: the samples as s16le bytes.
template <class T>
py::bytes float_array_pcm(py::handle obj) {
  // C order in native byte order; a copy only when the array is not already that.
  py::array_t<T, py::array::c_style | py::array::forcecast> arr(py::reinterpret_borrow<py::object>(obj));
  const auto n = static_cast<std::size_t>(arr.size());
  std::vector<std::int16_t> samples(n);
  std::size_t nan_count = 0;
  {
    py::gil_scoped_release unlocked;
    nan_count = float_to_int16(arr.data(), n, samples.data());
    if constexpr (std::endian::native == std::endian::big) {
      for (auto& s : samples) {
        const auto u = static_cast<std::uint16_t>(s);
        s = static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8)));
      }
    }
  }
  if (nan_count != 0 &&
      PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1) != 0) {
    throw py::error_already_set();
  }
  return py::bytes(reinterpret_cast<const char*>(samples.data()), n * sizeof(std::int16_t));
}

/// Whether an array holds more than one channel: two axes longer than one. Its samples would
/// otherwise be read as one mono clip of all channels' samples, twice as long or longer.
bool several_channels(py::handle arr) {
  int long_axes = 0;
  for (py::handle n : py::tuple(arr.attr("shape"))) long_axes += n.cast<long long>() > 1 ? 1 : 0;
  return long_axes > 1;
}

[[noreturn]] void raise_several_channels(py::handle arr) {
  pb::raise_new(PyExc_ValueError, py::make_tuple(kChannelsError + std::string(py::str(arr.attr("shape")))));
}

py::object array_pcm(py::handle obj) {
  if (several_channels(obj)) raise_several_channels(obj);
  py::object dtype = obj.attr("dtype");
  const std::string kind = py::str(dtype.attr("kind"));
  const auto itemsize = dtype.attr("itemsize").cast<long>();
  if (kind == "i" && itemsize == 2) {
    // Samples stored in the other byte order are written as the little-endian PCM they mean.
    if (truthy(dtype.attr("isnative"))) return obj.attr("tobytes")();
    return obj.attr("astype")("<i2").attr("tobytes")();
  }
  if (kind == "f" && itemsize == 4) return float_array_pcm<float>(obj);
  if (kind == "f" && itemsize == 8) return float_array_pcm<double>(obj);
  pb::raise_new(PyExc_TypeError, py::make_tuple(kArrayTypeError + std::string(py::str(dtype))));
}

// The file's name as a str (os.fspath, with a name of bytes through os.fsdecode, as file calls
// take it), once it names a regular file; else FileNotFoundError "no audio at <path>". The str()
// of a bytes name ("b'/a/speech.wav'") would name another file. `st`, when given, gets the
// file's os.stat result.
py::object audio_file_path(py::handle obj, py::object* st = nullptr) {
  py::object os = global("os");
  py::object path = os.attr("fsdecode")(obj);
  py::object found;
  try {
    found = os.attr("stat")(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;  // as os.path.isfile
  }
  if (!found || !truthy(import_module("stat").attr("S_ISREG")(found.attr("st_mode")))) {
    pb::raise_new(PyExc_FileNotFoundError, py::make_tuple(py::str("no audio at ") + py::str(path)));
  }
  if (st != nullptr) *st = found;
  return path;
}

// Tells the MP4 writer, when one is listening (_AUDIO_OPENED holds its list), which file the
// speech is read from: its device and inode as the decoder is about to open it, and its name.
// Whatever shape named the file, the video must not replace it.
void note_opened(py::handle st, py::handle path) {
  py::object opened = global("_AUDIO_OPENED").attr("get")();
  if (!opened.is_none()) opened.attr("append")(py::make_tuple(st.attr("st_dev"), st.attr("st_ino"), path));
}

// The decoder's command. ffmpeg reads an input name as a URL: "concat:a.wav", "subfile,,...:x" or
// "pipe:0" would read other files or the standard input, and "-" the standard input. The file
// protocol with an absolute path reads exactly the file of that name.
py::list ffmpeg_decode_command(py::handle path) {
  py::list cmd;
  for (const char* a : {"ffmpeg", "-nostdin", "-loglevel", "error", "-i"}) cmd.append(a);
  cmd.append(py::str("file:") + py::str(global("os").attr("path").attr("abspath")(path)));
  cmd.append("-ar");
  cmd.append(py::str(global("_SAMPLE_RATE")));
  for (const char* a : {"-ac", "1", "-f", "s16le", "-"}) cmd.append(a);
  return cmd;
}

// A piece of decoded audio: 4 s at 16 kHz, an even number of bytes, so no sample is split.
constexpr long kPieceBytes = 4L * 32000L;

// Ends the decoder however its generator ends (finished, closed early, failed): a decoder that is
// still writing is killed and every process is reaped. Its own errors would only hide the one
// being raised, so they are dropped.
struct DecoderReaper {
  py::handle proc;
  py::handle errlog;
  ~DecoderReaper() {
    py::error_scope keep_pending_error;
    try {
      if (proc.attr("poll")().is_none()) proc.attr("kill")();
      proc.attr("wait")();
      proc.attr("stdout").attr("close")();
    } catch (...) {
    }
    try {
      errlog.attr("close")();
    } catch (...) {
    }
  }
};

// _pcm_pieces(path): the file's PCM as ffmpeg writes it, in pieces of at most kPieceBytes, read
// only as they are asked for, so a long file is never held whole. ffmpeg's log goes to a file
// rather than a pipe: a decoder that logs more than a pipe holds would otherwise stall.
pb::Generator pcm_pieces(py::object obj) {
  py::object st;
  py::object path = audio_file_path(obj, &st);
  note_opened(st, path);
  py::object subprocess = global("subprocess");
  pb::Held errlog = import_from("tempfile", "TemporaryFile")();
  pb::Held proc;
  bool missing = false;
  try {
    proc = subprocess.attr("Popen")(ffmpeg_decode_command(path), py::arg("stdin") = subprocess.attr("DEVNULL"),
                                    py::arg("stdout") = subprocess.attr("PIPE"), py::arg("stderr") = errlog);
  } catch (py::error_already_set& e) {
    errlog.attr("close")();
    if (!e.matches(PyExc_FileNotFoundError)) throw;
    missing = true;
  }
  if (missing) {  // no ffmpeg program: decode in process
    co_yield global("_decode")(path);
    co_return;
  }
  DecoderReaper reaper{proc, errlog};
  pb::Held read = proc.attr("stdout").attr("read");
  for (;;) {
    py::object piece = read(kPieceBytes);
    if (py::len(piece) == 0) break;
    co_yield piece;
  }
  if (py::int_(proc.attr("wait")()).cast<long long>() != 0) {
    errlog.attr("seek")(0);
    py::object text = errlog.attr("read")().attr("decode")("utf-8", "replace");
    py::object head = text[py::slice(py::none(), py::int_(300), py::none())];
    raise_refused("Failed", py::str(kUnreadable), head);
  }
}

py::object file_pcm(py::handle obj) {
  return py::bytes().attr("join")(global("_pcm_pieces")(obj));
}

// _pcm(obj) -> bytes
py::object pcm(py::object obj) {
  if (is_byte_like(obj)) return to_bytes(obj);
  if (is_path_like(obj)) return file_pcm(obj);
  py::object np = numpy_or_none();
  if (np && is_instance(obj, np.attr("ndarray"))) return array_pcm(obj);
  pb::raise_new(PyExc_TypeError, py::make_tuple(kGeneralTypeError + type_name(obj)));
}

// The guarded block of _decode: the whole first audio stream, resampled to s16 mono.
py::bytes decode_with(py::object av, py::object path) {
  std::string buf;
  py::object resampler;
  py::list frames;
  with_block(av.attr("open")(path), [&](py::object container) {
    resampler = av.attr("AudioResampler")(py::arg("format") = "s16", py::arg("layout") = "mono",
                                          py::arg("rate") = global("_SAMPLE_RATE"));
    frames = py::list(container.attr("decode")(py::arg("audio") = 0));
  });
  if (resampler) {
    frames.append(py::none());  // makes the resampler give out what it still holds
    for (py::handle frame : frames) {
      py::object out = resampler.attr("resample")(frame);
      if (!truthy(out)) continue;
      for (py::handle rf : out) {
        py::object raw = rf.attr("to_ndarray")().attr("tobytes")();
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(raw.ptr(), &data, &size) != 0) throw py::error_already_set();
        buf.append(data, static_cast<std::size_t>(size));
      }
    }
  }
  if (buf.empty()) pb::raise_new(PyExc_ValueError, py::make_tuple("no audio in that file"));
  return py::bytes(buf);
}

// _decode(path: str) -> bytes
py::object decode(py::object path) {
  py::object av;
  py::object err;
  try {
    av = import_module("av");
  } catch (...) {
    err = caught_exception();
    if (!is_exception(err)) throw;
  }
  if (!err) {
    try {
      return decode_with(av, path);
    } catch (...) {
      err = caught_exception();
      if (!is_exception(err)) throw;
    }
  }
  raise_context_suppressed(refuse("Failed", py::str(kUnreadable), err), err);
}

// What _whole_clip makes of `audio` before it asks whether it is iterable: the PCM of a single
// object, None for a file (whose audio comes as the engine pulls), or an empty object when
// `audio` is taken item by item.
py::object single_clip(py::object audio) {
  if (is_byte_like(audio)) return global("_pcm")(audio);
  if (is_path_like(audio)) {
    audio_file_path(audio);  // a missing file is refused now; its audio comes as the engine pulls
    return py::none();
  }
  bool refused_channels = false;
  try {
    py::object np = import_module("numpy");
    if (is_instance(audio, np.attr("ndarray"))) {
      // Refused outside the guard: as a stream its rows would come out as mono chunks again.
      refused_channels = several_channels(audio);
      if (!refused_channels) return global("_pcm")(audio);
    }
  } catch (...) {
    py::object e = caught_exception();
    if (!is_exception(e)) throw;
    // An array _pcm refuses is taken as an iterable of samples.
  }
  if (refused_channels) raise_several_channels(audio);
  return py::object();
}

// _whole_clip(audio)
py::object whole_clip(py::object audio) {
  if (py::object clip = single_clip(audio)) return clip;
  PyObject* it = PyObject_GetIter(audio.ptr());
  if (it == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    return global("_pcm")(audio);
  }
  Py_DECREF(it);  // the test only: a generator is not advanced
  return py::none();
}

// _chunks(audio, clip=None) -> Iterator[bytes]
pb::Generator chunks(py::object audio, py::object clip) {
  if (clip.is_none()) clip = global("_whole_clip")(audio);
  if (!clip.is_none()) {
    co_yield clip;
    co_return;
  }
  // A file is a stream of its pieces.
  py::object it = iter_of(is_path_like(audio) ? py::object(py::make_tuple(audio)) : audio);
  while (py::object item = next_of(it)) {
    if (is_path_like(item)) {
      py::object pieces = iter_of(global("_pcm_pieces")(item));
      while (py::object piece = next_of(pieces)) co_yield piece;
    } else {
      co_yield global("_pcm")(item);
    }
  }
}

// Whether the type of `obj` offers a way to iterate it: its own __iter__ (not set to None, as
// a class does to say it is not iterable), or the sequence protocol.
bool offers_iteration(py::handle obj) {
  PyTypeObject* type = Py_TYPE(obj.ptr());
  if (type->tp_iter == nullptr) return PySequence_Check(obj.ptr()) != 0;
  py::object own = py::getattr(reinterpret_cast<PyObject*>(type), "__iter__", py::none());
  return !own.is_none();
}

}  // namespace

py::object render_clip(py::object audio, py::object& items) {
  if (py::object clip = single_clip(audio)) return clip;
  if (!offers_iteration(audio)) return global("_pcm")(audio);  // the general TypeError
  py::object err;
  try {
    items = iter_of(audio);
  } catch (...) {
    err = caught_exception();
    if (!is_exception(err)) throw;
  }
  // The caller's own code failed (its __iter__): the render's error says so, and names it.
  if (err) raise_refused_from("Failed", py::str("the render stopped"), err);
  return py::none();
}

py::object expected_frames_of(const py::int_& length, py::handle fps_obj) {
  py::object fps = py::reinterpret_borrow<py::object>(fps_obj);
  if (!truthy(fps)) return py::none();
  py::object session = import_module("quorvane._session");
  py::object byte_rate = session.attr("BYTES_PER_FRAME") * session.attr("FPS");
  // int(length / byte_rate * fps), with Python's arithmetic for whatever numbers these are.
  py::object seconds = py::reinterpret_steal<py::object>(PyNumber_TrueDivide(length.ptr(), byte_rate.ptr()));
  if (!seconds) throw py::error_already_set();
  py::object frames = seconds * fps;
  py::int_ n(frames);
  if (n < py::int_(1)) return py::none();
  return n;
}

namespace {

// _expected_frames(clip, fps) -> int | None
py::object expected_frames(py::object clip, py::object fps) {
  if (clip.is_none()) return py::none();
  return expected_frames_of(py::int_(py::len(clip)), fps);
}

}  // namespace

void register_audio(py::module_& m) {
  m.attr("_SAMPLE_RATE") = 16000;
  m.attr("_AUDIO_OPENED") = py::module_::import("contextvars").attr("ContextVar")("quorvane_audio_opened",
                                                                                  py::arg("default") = py::none());
  m.def("_pcm", &pcm, py::arg("obj"));
  m.def("_decode", &decode, py::arg("path"));
  m.def("_pcm_pieces", &pcm_pieces, py::arg("path"));
  m.def("_whole_clip", &whole_clip, py::arg("audio"));
  m.def("_chunks", &chunks, py::arg("audio"), py::arg("clip") = py::none());
  m.def("_expected_frames", &expected_frames, py::arg("clip"), py::arg("fps"));
}

}  // namespace quorvane::open::bind
