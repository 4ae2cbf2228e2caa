#pragma once
// The History tab's chart of the players on the server: over the last 24 hours and over the
// match under way (or the last one), match ends marked. It reads the record when it is shown and
// once a minute while it stays in view, through the reader (the answer comes later); the
// counting is the core's (PlayersOverTime).
#include <QWidget>
#include <cstdint>
#include <functional>

namespace tovi {

class HistoryReader;

using SecondsClock = std::function<int64_t()>;  // Unix seconds

// Without Qt Charts in the build, a line that says so.
QWidget* MakePlayersChart(HistoryReader& reader, QWidget* parent, SecondsClock now = {});

}  // namespace tovi
