#include "installer/engine_context.h"

// Provisional until the engine contexts and their registry exist: no context is
// registered, so nothing is looked up and no package list is updated.
ravel::object::smart_ptr<Context> findContext(const std::wstring&) { return ravel::object::smart_ptr<Context>(); }
ravel::object::smart_ptr<Context> getCurrentContext() { return ravel::object::smart_ptr<Context>(); }
