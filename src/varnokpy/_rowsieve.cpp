// varnokpy._rowsieve: the `rowsieve` class, a list of equal-length tuples (or
// of scalars) that answers pattern queries through lazily built indexes.
//
// Cache lifecycle. An instance keeps its derived data in ordinary instance
// attributes under the class-private names: the index cache, the membership
// map and four navigation caches. Each cache is either empty or describes the
// list as it was when the cache was built; it is never updated in place.
// `clean()` rebinds fresh empty caches (it never clears the old ones: a
// caller may hold them). Additions check, then clean, then change; deletions
// change, then reset the mode of an emptied list, then clean.
//
// Re-entrancy. Members' `__hash__`, `__eq__`, `__len__` and `__str__` run
// arbitrary code that may mutate this very list or call `clean()`. Every walk
// over the list re-reads its size and holds a strong reference to the member
// it works on; new caches are built in local objects and published with one
// final store. A build also notes which cache object the instance held when
// it started (read straight from the instance dict, so no attribute hook
// sees it): when a re-entrant `clean()` replaced it meanwhile, the build
// answers the call that started it but is not published, so a stored cache
// never mixes two states of the list.
//
// Dispatch. Calls that the class makes on `self` (`self.clean()`,
// `self.extend(...)`, the private checks, `self.select(...)`) go through the
// instance, so subclass overrides and instance attributes are honoured. The
// list change itself is the base `list` operation.
//
// Two paths. Each concept has its general steps in one file and its
// shortcuts beside it in another (`<concept>_shortcuts.hpp`), included
// before the steps: a method, or a call that the class's code makes on an
// instance, first tries its shortcut, which answers in C when nothing could
// tell the difference, and runs the steps when it is not taken. Shortcuts use
// the types and helpers of the parts before them and never a step that
// tries a shortcut itself. guards.hpp says which fact each guard proves.
//
// Each part includes the parts it uses and wraps its contents in an
// anonymous namespace; state.hpp declares the frame that VARNOK_MODULE
// defines here, so the module's declaration follows it.
#include "rowsieve/state.hpp"

VARNOK_MODULE(_rowsieve, kInfo)

#include "rowsieve/guards.hpp"
#include "rowsieve/members_shortcuts.hpp"
#include "rowsieve/members.hpp"
#include "rowsieve/keys.hpp"
#include "rowsieve/index_shortcuts.hpp"
#include "rowsieve/index.hpp"
#include "rowsieve/select_shortcuts.hpp"
#include "rowsieve/select.hpp"
#include "rowsieve/navigation_shortcuts.hpp"
#include "rowsieve/navigation.hpp"
#include "rowsieve/class_body.hpp"
