// The module frame shared by every extension module of the package.
#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "dicts.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "probe_controls.hpp"
#include "refs.hpp"
#include "sync.hpp"
