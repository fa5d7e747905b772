// The LiteRT runtime behind ModelRunner, as the binding sees it: installing it as the factory, and
// the Python objects behind its interpreters and signature runners.
#pragma once

#include "tensorhost/bind/common.h"
#include "tensorhost/chain/model_runner.h"

namespace quorvane::m2::bind {

/// Makes load_model create ai_edge_litert interpreters (model_path, num_threads), with tensors
/// allocated right after creation. Call once, at module registration, with the lock held.
void install_litert_runner_factory();

/// The ai_edge_litert Interpreter behind `m`, or None when `m` is not a LiteRT model.
/// Needs the interpreter lock.
py::object py_handle(const ModelRunner& m);

/// The ai_edge_litert SignatureRunner behind `r`, or None when `r` is not a LiteRT runner.
/// Needs the interpreter lock.
py::object py_handle(const SignatureRunner& r);

}  // namespace quorvane::m2::bind
