// Python names of the host program: module state in its load order, the command line, the log,
// thread sizing, the staged list and the frame pipe.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tensorhost/bind/common.h"
#include "tensorhost/bind/pyrenderer.h"
#include "tensorhost/bundle/staging.h"
#include "tensorhost/chain/renderer.h"
#include "tensorhost/constants.h"
#include "tensorhost/fsops.h"
#include "tensorhost/host/cli.h"
#include "tensorhost/host/fdio.h"
#include "tensorhost/host/log.h"
#include "tensorhost/host/run.h"
#include "tensorhost/host/serve.h"
#include "tensorhost/host/streams.h"
#include "tensorhost/host/threads.h"

namespace quorvane::m2::bind {

namespace {

// This shared object's own file. A compiled module has no __file__ while it initialises, so ask
// the dynamic loader where the code of this function came from.
std::string own_file() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&own_file), &info) == 0 || info.dli_fname == nullptr)
    throw std::runtime_error("cannot locate the host module's own file");
  return abs_path(info.dli_fname);
}

// Whether `path` is as much the package's own as the module file `own`: the same owner, and
// writable by no one who cannot rewrite the module itself (an install under umask 002 leaves both
// group-writable, and that group could change the module's code anyway). A file planted by
// another user beside a shared directory is not.
bool owned_like(const std::string& path, const std::string& own) {
  struct stat st {}, ref {};
  if (::stat(path.c_str(), &st) != 0 || ::stat(own.c_str(), &ref) != 0) return false;
  const mode_t others_may_write = S_IWGRP | S_IWOTH;
  const bool same_group = st.st_gid == ref.st_gid;
  const mode_t beyond = st.st_mode & others_may_write & ~(ref.st_mode & (same_group ? others_may_write : S_IWOTH));
  return st.st_uid == ref.st_uid && beyond == 0;
}

// The tools/ directory of the source checkout this module runs from, when it runs from one: the
// module lies in <root>/src/quorvane/_mirrant2, <root> holds pyproject.toml, and <root>/tools is
// the package's own. Anywhere else (an installed package, `pip install --target T`, whose
// <root> is dirname(T)) there is no such directory.
std::optional<std::string> checkout_tools(const std::string& own) {
  const std::string d = split_path(own).first;
  auto [q, m2] = split_path(d);
  auto [src, quorvane] = split_path(q);
  auto [root, src_name] = split_path(src);
  if (m2 != "_mirrant2" || quorvane != "quorvane" || src_name != "src" || root.empty()) return std::nullopt;
  const std::string tools = join_path(root, "tools");
  if (!is_regular_file(join_path(root, "pyproject.toml")) || !is_dir(tools) || !owned_like(tools, own))
    return std::nullopt;
  return tools;
}

// Binds the dependency-store component, loaded from a file by its location and never by name
// through the module search path (which stays as it was): any directory on that path could supply
// a module of that name. First the source checkout's tools/ (only when the module runs from that
// checkout), then this module's own directory, where the package installs it. A candidate that
// is missing, not the package's own, or fails to import is passed over (its text kept in
// `_SED_WHY`); any other error aborts the module's load.
void look_up_dependency_store(py::module_& m) {
  m.attr("_SED") = py::none();
  m.attr("_SED_WHY") = "";
  const std::string own = own_file();
  std::vector<std::string> candidates;
  if (auto tools = checkout_tools(own)) candidates.push_back(*tools);
  candidates.push_back(split_path(own).first);
  auto util = py::module_::import("importlib.util");
  for (const auto& dir : candidates) {
    const std::string file = join_path(dir, "shared_enc_dep.py");
    if (!is_regular_file(file)) {
      m.attr("_SED_WHY") = fs_str("no shared_enc_dep.py in " + dir);
      continue;
    }
    if (!owned_like(file, own)) {
      m.attr("_SED_WHY") = fs_str(file + " is not the package's own (another owner, or writable by others)");
      continue;
    }
    try {
      py::object found = util.attr("spec_from_file_location")("shared_enc_dep", fs_str(file));
      py::object mod = util.attr("module_from_spec")(found);
      found.attr("loader").attr("exec_module")(mod);
      m.attr("_SED") = mod;
      m.attr("_SED_WHY") = fs_str(dir);
      return;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
      m.attr("_SED_WHY") = py::str(e.value());
      m.attr("_SED") = py::none();
    }
  }
}

void set_binary_mode_on_windows() {
  py::module_ msvcrt;
  try {
    msvcrt = py::module_::import("msvcrt");
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ModuleNotFoundError)) return;
    throw;
  }
  auto os = py::module_::import("os");
  auto sys = py::module_::import("sys");
  msvcrt.attr("setmode")(sys.attr("stdin").attr("fileno")(), os.attr("O_BINARY"));
  msvcrt.attr("setmode")(sys.attr("stdout").attr("fileno")(), os.attr("O_BINARY"));
}

// Python face of the host's byte streams (`_IN`, `_OUT`).
struct InHandle {};
struct OutHandle {};

// A pipe transfer interrupted by a signal runs the interpreter's handlers before it is retried,
// so Ctrl-C raises KeyboardInterrupt in a host blocked on its pipes, as in Python code.
void run_signal_handlers() {
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Records that were written but not yet flushed go out when the process ends, as a Python
// buffered stream's would. Runs after the interpreter has finished; a parent that has closed its
// end makes the exit status 1 (the error is reported), never a success with the bytes dropped.
void flush_out_at_exit() {
  set_interrupt_hook(nullptr);  // no interpreter left to run handlers
  try {
    std_out().flush();
  } catch (const OSError& e) {
    const std::string line = std::string(os_error_kind(e.errno_value)) + ": " + os_error_text(e) +
                             " (flushing standard output at exit)\n";
    [[maybe_unused]] ssize_t w = ::write(2, line.data(), line.size());
    std::fflush(nullptr);
    ::_exit(1);
  }
}

// Python face of the staged list: a live view of the one registry, not a copy.
struct StagedHandle {};

py::list path_list_out(const std::vector<std::string>& paths) {
  py::list out;
  for (const auto& p : paths) out.append(fs_str(p));
  return out;
}

void bind_constants(py::module_& m) {
  m.attr("SR") = SR;
  m.attr("FPS") = FPS;
  m.attr("SPF") = SPF;
  m.attr("STEADY_PX") = STEADY_PX;
  m.attr("SPC") = SPC;
  m.attr("WIN_SAMPLES") = WIN_SAMPLES;
  m.attr("TEMPO_SAMPLES") = TEMPO_SAMPLES;
  m.attr("CHUNK0_LAT") = CHUNK0_LAT;
  m.attr("STEADY_LAT") = STEADY_LAT;
  m.attr("PRESENT_DELAY_FRAMES") = PRESENT_DELAY_FRAMES;
  m.attr("LC") = LC;
  m.attr("LH") = LH;
  m.attr("LW") = LW;
  m.attr("PLANE") = PLANE;
  m.attr("CTX") = CTX;
  m.attr("NA") = NA;
  m.attr("CA") = CA;
  m.attr("FH") = FH;
  m.attr("FW") = FW;
  m.attr("SR_WSOLA_SEGMENT") = SR_WSOLA_SEGMENT;
  m.attr("SR_WSOLA_OVERLAP") = SR_WSOLA_OVERLAP;
  m.attr("SR_WSOLA_SEARCH") = SR_WSOLA_SEARCH;
  py::tuple sigs(SIGS.size());
  for (size_t i = 0; i < SIGS.size(); ++i) sigs[i] = py::str(std::string(SIGS[i]));
  m.attr("_SIGS") = sigs;
  m.attr("COLOR_MEMBER") = std::string(COLOR_MEMBER);
  m.attr("COLOR_ENV") = std::string(COLOR_ENV);
  m.attr("COLOR_LOG_PREFIX") = std::string(COLOR_LOG_PREFIX);
  m.attr("RGB_THREADS_ENV") = std::string(RGB_THREADS_ENV);
  m.attr("COMBINED_MEMBER") = std::string(COMBINED_MEMBER);
  m.attr("Q8GD_MEMBER") = std::string(Q8GD_MEMBER);
  m.attr("Q8GD_HEADER_KEY") = std::string(Q8GD_HEADER_KEY);
  m.attr("Q8GD_ENV") = std::string(Q8GD_ENV);
  m.attr("INT8_DOT_FLAGS") = py::make_tuple(std::string(INT8_DOT_FLAGS[0]), std::string(INT8_DOT_FLAGS[1]));
  m.attr("Q8GD_LOG") = std::string(Q8GD_LOG);
  m.attr("FLUSH_WORD") = FLUSH_WORD;
  m.attr("RESET_WORD") = RESET_WORD;
  m.attr("MAX_STEP_SAMPLES") = MAX_STEP_SAMPLES;
  m.attr("END_MARKER") = END_MARKER;
}

void bind_streams(py::module_& m) {
  set_interrupt_hook(&run_signal_handlers);
  Py_AtExit(&flush_out_at_exit);
  py::class_<InHandle>(m, "_InStream", "Standard input as a raw byte stream")
      .def("read", [](InHandle&, size_t n) {
        std::string buf(n, '\0');
        size_t got;
        {
          py::gil_scoped_release nogil;
          got = std_in().read_full(buf.data(), n);
        }
        buf.resize(got);
        return py::bytes(buf);
      })
      .def("fileno", [](InHandle&) { return std_in().fd(); });
  py::class_<OutHandle>(m, "_OutStream", "Standard output as a buffered raw byte stream")
      .def("write", [](OutHandle&, py::buffer b) {
        auto info = b.request();
        py::gil_scoped_release nogil;
        std_out().write(info.ptr, static_cast<size_t>(info.size * info.itemsize));
        return info.size * info.itemsize;
      })
      .def("flush", [](OutHandle&) {
        py::gil_scoped_release nogil;
        std_out().flush();
      })
      .def("fileno", [](OutHandle&) { return std_out().fd(); });
  m.attr("_IN") = py::cast(InHandle{});
  m.attr("_OUT") = py::cast(OutHandle{});
}

void bind_staged(py::module_& m) {
  py::class_<StagedHandle>(m, "_StagedList", "The live list of staged model files, oldest first")
      .def("__len__", [](StagedHandle&) { return staged().size(); })
      .def("__iter__", [](StagedHandle&) { return py::iter(path_list_out(staged())); })
      .def("__getitem__", [](StagedHandle&, py::ssize_t i) {
        auto n = static_cast<py::ssize_t>(staged().size());
        if (i < 0) i += n;
        if (i < 0 || i >= n) throw py::index_error("staged list index out of range");
        return fs_str(staged()[static_cast<size_t>(i)]);
      })
      .def("__contains__", [](StagedHandle&, const py::object& p) {
        if (!py::isinstance<py::str>(p)) return false;
        auto s = fs_bytes(p);
        return std::find(staged().begin(), staged().end(), s) != staged().end();
      })
      .def("__eq__", [](StagedHandle&, const py::object& other) {
        return py::isinstance<py::list>(other) && other.equal(path_list_out(staged()));
      })
      .def("__repr__", [](StagedHandle&) { return py::repr(path_list_out(staged())); })
      .def("append", [](StagedHandle&, const py::object& p) {
        auto s = fs_bytes(p);
        auto lock = staged_lock();
        staged().push_back(std::move(s));
      })
      .def("remove", [](StagedHandle&, const py::object& p) {
        auto s = fs_bytes(p);
        auto lock = staged_lock();
        auto it = std::find(staged().begin(), staged().end(), s);
        if (it == staged().end()) throw py::value_error("path not in the staged list");
        staged().erase(it);
      })
      .def("copy", [](StagedHandle&) { return path_list_out(staged()); });
  m.attr("_STAGED") = py::cast(StagedHandle{});
  m.def("_release_staged", [](const py::iterable& paths) {
    std::vector<std::string> snapshot;
    for (auto p : paths) snapshot.push_back(fs_bytes(p));
    release_staged(snapshot);
  }, py::arg("paths"), "Deletes the staged files among `paths` and takes them off the staged list.");
  m.def("_drop_staged", &drop_staged, "Deletes every staged file that is left (the exit hook).");
  py::module_::import("atexit").attr("register")(m.attr("_drop_staged"));
}

// The argument vector as the bytes the process was given: a bundle or engine path that is not
// UTF-8 reaches Python as surrogate escapes, and goes back to its bytes here.
std::vector<std::string> argv_from_py(const py::iterable& argv) {
  std::vector<std::string> out;
  for (auto a : argv) {
    const bool text = py::isinstance<py::str>(a) || py::isinstance<py::bytes>(a);
    out.push_back(fs_bytes(text ? py::reinterpret_borrow<py::object>(a) : py::str(a)));
  }
  return out;
}

}  // namespace

void register_host(py::module_& m) {
  look_up_dependency_store(m);
  set_binary_mode_on_windows();
  bind_streams(m);
  bind_constants(m);
  bind_staged(m);

  m.def("_elog", [](const py::args& a) {
    std::vector<std::string> parts;
    for (auto v : a) parts.push_back(fs_bytes(py::str(v)));
    elog_parts(parts);
  }, "Writes one log line to standard error: the host's prefix and the values joined by blanks.");

  m.def("effective_cpu_count", []() { return effective_cpu_count(); },
        "The CPU count this process may really use (affinity and cgroup quotas applied), at least 1.");
  m.def("default_threads", [](int64_t n_interpreters, const py::object& requested) {
    int64_t req = 0;
    if (!requested.is_none()) {
      if (py::isinstance<py::str>(requested)) {
        auto s = requested.cast<std::string>();
        if (!s.empty()) req = py::int_(requested).cast<int64_t>();
      } else {
        req = py::int_(requested).cast<int64_t>();
      }
    }
    return default_threads(n_interpreters, req);
  }, py::arg("n_interpreters") = 1, py::arg("requested") = 0,
     "Interpreter thread count from a request, LIBSTREAM_THREADS and the usable CPUs.");
  m.def("_set_cpu_probe", [](std::string root, std::optional<int64_t> cpu_count,
                             std::optional<int64_t> affinity, bool no_cpu_count, bool no_affinity) {
    cpu_probe() = CpuProbe{std::move(root), cpu_count, affinity, no_cpu_count, no_affinity};
  }, py::arg("root") = "", py::arg("cpu_count") = py::none(), py::arg("affinity") = py::none(),
     py::arg("no_cpu_count") = false, py::arg("no_affinity") = false,
     "Test hook: make thread sizing read a fake file tree and a fake machine.");

  m.def("read_exact", [](size_t n) -> py::object {
    std::string buf(n, '\0');
    size_t got;
    {
      py::gil_scoped_release nogil;
      got = std_in().read_full(buf.data(), n);
    }
    if (got < n) return py::none();
    return py::bytes(buf);
  }, py::arg("n"), "Reads exactly n bytes of standard input, or None when input ends first.");
  m.def("write_frame", [](int64_t idx, const py::object& rgb) {
    py::list one;
    one.append(py::make_tuple(idx, rgb));
    auto frames = frames_from_py(one);
    py::gil_scoped_release nogil;
    write_frame(std_out(), idx, frames[0].rgb, frames[0].n_bytes);
  }, py::arg("idx"), py::arg("rgb"), "Writes one frame record to standard output, unflushed.");
  m.def("emit", [](const py::iterable& frames) {
    auto pairs = frames_from_py(frames);
    py::gil_scoped_release nogil;
    emit(std_out(), pairs);
  }, py::arg("frames"), "Writes a batch of frame records, then flushes once if there was any.");
  m.def("_serve", [m](const py::object& renderer, const py::object& chain, const std::string& nm) {
    (void)chain;
    // The native renderer is served without Python in the loop.
    if (ServedRenderer* native = native_renderer(renderer)) {
      py::gil_scoped_release nogil;
      return serve(*native, nm, std_in(), std_out());
    }
    PyServedRenderer adapter(m, renderer);
    py::gil_scoped_release nogil;
    return serve(adapter, nm, std_in(), std_out());
  }, py::arg("renderer"), py::arg("chain"), py::arg("nm"),
     "The request loop of the frame pipe; returns the exit status.");

  m.def("main", [](const py::iterable& argv) {
    auto args = argv_from_py(argv);
    py::gil_scoped_release nogil;
    return host_main(args);
  }, py::arg("argv"), "The host program: parse the command line, load, serve. Returns the exit status.");
  m.def("_parse_args", [](const py::iterable& argv) {
    HostArgs a = parse_args(argv_from_py(argv));
    return py::make_tuple(fs_str(a.bundle), a.engine ? py::object(fs_str(*a.engine)) : py::none(), a.threads);
  }, py::arg("argv"), "Test hook: the (bundle, engine, threads) that main would settle on.");
  m.def("_run", [](const py::object& bundle, const py::object& engine, int64_t threads) {
    const std::string b = fs_bytes(bundle);
    const std::optional<std::string> e = engine.is_none() ? std::nullopt : std::optional(fs_bytes(engine));
    py::gil_scoped_release nogil;
    return host_run(b, e, threads);
  }, py::arg("bundle"), py::arg("engine"), py::arg("threads"));
}

}  // namespace quorvane::m2::bind
