// varnokpy._keyshelf: the `keyshelf` class, a dict whose keys are also held,
// in a defined order, in a `rowsieve` (the key list), so that values can be
// picked by key pattern and summed, or multiplied by coefficients, into
// linear expressions.
//
// Dispatch. Everything that the class's own code reaches through `self`
// (`self._keys_internal()`, `self.clean()`, `self.keys()`, `self[k]`) goes
// through the instance, so subclass overrides and instance attributes are
// honoured; module globals (`keyshelf`, `rowsieve`, `LinExpr`, `_sum_terms`,
// `warnings`) are looked up at call time; the legacy switch is read from the
// class that the global `keyshelf` names at every use.
//
// Two paths, one direction. Each method is written as its general steps,
// what a Python body would do. The calls a modeller makes in tight loops
// (`select`, `sum`, `prod`, the `dict` calls through `super`, the sort key)
// first try a shortcut (namespace `native`), once, at the start of the step
// it replaces; it reaches the same answer in C when its guards prove that
// nothing could tell the difference, and otherwise leaves the steps to run.
// A shortcut may call the general helpers it needs; none of those tries a
// shortcut itself.
//
// Layout. One compile unit, so that every traceback entry names
// "src/varnokpy/_keyshelf". The parts in keyshelf/ hold one concept each and
// come in this order, each after the parts it uses, a shortcut after the
// helpers it calls and before the step that tries it:
//   state.hpp       names, constants, load-time records, calls by name
//   guards.hpp      what each shortcut must prove before it runs
//   keylist.hpp     the key list, its sort, the dict calls through super
//   generators.hpp  the generator bodies and the methods that make them
//   views.hpp       keys, values, items
//   positions.hpp   entry positions remembered per selection
//   walk.hpp        the selection walk that select, sum and prod run inline
//   select.hpp      select, subset
//   aggregate.hpp   _sum_terms, sum, prod
//   module.hpp      docstrings, the functions' descriptions, the load steps
// Each part includes the parts it uses and wraps its contents in an
// anonymous namespace; state.hpp declares the frame that VARNOK_MODULE
// defines here, so the module's declaration follows it.
#include "keyshelf/state.hpp"

VARNOK_MODULE(_keyshelf, kInfo)

#include "keyshelf/guards.hpp"
#include "keyshelf/keylist.hpp"
#include "keyshelf/generators.hpp"
#include "keyshelf/views.hpp"
#include "keyshelf/positions.hpp"
#include "keyshelf/walk.hpp"
#include "keyshelf/select.hpp"
#include "keyshelf/aggregate.hpp"
#include "keyshelf/module.hpp"
