// CPython hands C code its own objects: walking a dict entry by entry costs a
// few nanoseconds an entry, and building and reading flat objects costs several times
// more. Nothing is served in bulk.
#include "frame/host_policy.hpp"

namespace corvane::frame {

Status prepare_bulk_crossing() { return {}; }

std::optional<Result<store::Store>> store_from_plain_dict(PyObject* /*dict*/) { return std::nullopt; }

std::optional<Result<PyObject*>> plain_dict_from_store(const store::Store& /*store*/) { return std::nullopt; }

}  // namespace corvane::frame
