// The tie-break's tunings that send small inputs down each of its paths,
// shared by the tie-break's tests and the trainer's.
#pragma once

#include <vector>

#include "ties/tie_break.h"

struct TieTuned {
    const char* name;
    bytepairtokenizer::TieBreakTuning tuning;
};

inline std::vector<TieTuned> tieTunings() {
    std::vector<TieTuned> out;
    out.push_back({"defaults", {}});
    bytepairtokenizer::TieBreakTuning t;
    t.fullWalkPairs = 0;
    t.orderedTieWidth = 0;
    t.fullWalkTieShare = 0;
    out.push_back({"targeted", t});
    t.cutScale = 0.0;
    out.push_back({"targeted_without_full_low_epochs", t});
    t.cutScale = 1e9;
    out.push_back({"targeted_all_epochs_in_full", t});
    t = {};
    t.fullWalkPairs = 0;
    t.orderedTieWidth = 2;
    out.push_back({"kept_order", t});
    t = {};
    t.fullWalkPairs = 0;
    t.orderedTieWidth = 40;
    out.push_back({"kept_order_once_wide", t});
    return out;
}
