// GET /metrics: the Prometheus text format (version 0.0.4) of every instance's
// engine, device, levels, gains, multiplex and RDS, for the monitoring a station
// already runs. Built on the control thread.
#pragma once

#include <string>

#include "app/application.h"
#include "app/http/meter_feed.h"

namespace torvalen::http {

std::string metrics_text(Application& app, MeterFeed& meters);

// A Prometheus label value: valid UTF-8 with backslash, quote and newline escaped.
std::string metric_label(std::string_view text);

}  // namespace torvalen::http
