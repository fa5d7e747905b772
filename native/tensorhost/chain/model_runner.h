// The model runtime as the chain sees it: a model file loaded with a thread count, its named
// signatures, and float32 tensors in and out by name. The one implementation calls the installed
// LiteRT package; the binding installs it as the factory, so the core never sees Python.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tensorhost/chain/tensor.h"
#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

/// One input of a signature: its name and its static shape.
struct InputDetail {
  std::string name;
  std::vector<int64_t> shape;
};

/// A float32 tensor with the signature input or output name it goes by.
struct NamedTensor {
  std::string name;
  FloatTensor tensor;
};

/// One signature of a loaded model. Not thread-safe: one call at a time per model (the runtime
/// shares the interpreter between a model's signatures). May be called without the Python lock;
/// an implementation that needs it takes it itself. Keep the ModelRunner it came from alive while
/// the runner is used.
class SignatureRunner {
 public:
  virtual ~SignatureRunner() = default;

  /// The signature's inputs, in the runtime's input-details order.
  virtual std::vector<InputDetail> input_details() const = 0;

  /// Runs the signature once. `inputs` are read only during the call (the runtime copies them in;
  /// they are not retained). Returns every output in the runtime's order; each output is a
  /// writable, C-contiguous float32 tensor whose storage no later call overwrites (its owner keeps
  /// it alive). Errors of the runtime (a wrong input name, shape or a failed invocation) propagate
  /// unchanged.
  virtual std::vector<NamedTensor> invoke(const std::vector<NamedTensor>& inputs) = 0;
};

/// One loaded model file (one interpreter, tensors allocated).
class ModelRunner {
 public:
  virtual ~ModelRunner() = default;

  /// The signature names of the file, in the order the runtime yields them.
  virtual std::vector<std::string> signatures() const = 0;

  /// A runner of signature `name`; the runtime's error when the file has no such signature.
  virtual std::shared_ptr<SignatureRunner> signature_runner(const std::string& name) = 0;
};

/// The runtime refused the model file at `path`: it is no model, or not one it can load. Becomes
/// the Python error the runtime raised (`kind`, its text unchanged); the host refuses the bundle
/// whose member it was.
struct ModelRefused : pytext::PyKindError {
  ModelRefused(std::string p, std::string kind_name, const std::string& text)
      : PyKindError(std::move(kind_name), text), path(std::move(p)) {}
  std::string path;
};

/// The model files loaded, taken together, lack signatures the chain needs. A RuntimeError; the
/// host refuses the bundle whose members they were.
struct MissingSignatures : RuntimeError {
  MissingSignatures(const std::string& text, std::vector<std::string> m, std::vector<std::string> h)
      : RuntimeError(text), missing(std::move(m)), have(std::move(h)) {}
  std::vector<std::string> missing;
  std::vector<std::string> have;
};

/// Loads the model file at `path` whose kernels run on `threads` threads, with its tensors
/// allocated. Throws ModelRefused when the runtime refuses the file, or the runtime's other
/// errors (it is missing, say) as they are.
using RunnerFactory =
    std::function<std::unique_ptr<ModelRunner>(const std::string& path, int64_t threads)>;

/// Installs the factory that load_model uses (the binding installs the LiteRT one at module load).
/// Not thread-safe: call before any model is loaded.
void set_runner_factory(RunnerFactory factory);

/// Loads a model through the installed factory. Throws RuntimeError when none is installed.
std::unique_ptr<ModelRunner> load_model(const std::string& path, int64_t threads);

}  // namespace quorvane::m2
