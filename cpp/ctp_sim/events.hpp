// Turning queued events into the event dicts `poll` returns. Called with the GIL held and
// without the counter's lock, since building Python objects may run arbitrary code.
#pragma once

#include <vector>

#include <nanobind/nanobind.h>

#include "values.hpp"

namespace zqkit::ctp {

nanobind::dict event_to_dict(const Event& event);
nanobind::list events_to_list(const std::vector<Event>& events);

}  // namespace zqkit::ctp
