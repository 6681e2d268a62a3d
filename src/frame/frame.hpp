// Everything a native module of the package needs from the frame.
#pragma once

#include "call.hpp"
#include "copy_support.hpp"
#include "dict_memo.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "prelude.hpp"
#include "profiling.hpp"
#include "ref.hpp"
#include "shortcut.hpp"
#include "small_vec.hpp"
