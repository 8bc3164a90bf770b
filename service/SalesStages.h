#pragma once

#include <optional>
#include <string_view>

namespace korvid {

// The stages an opportunity moves through, in order, with the label the
// pages show.
struct SalesStage {
    std::string_view code;
    std::string_view label;
    int probability;
};

inline constexpr SalesStage kSalesStages[] = {
    { "lead", "线索", 10 },
    { "contact", "初步接触", 20 },
    { "qualify", "需求确认", 40 },
    { "proposal", "方案报价", 60 },
    { "negotiation", "商务谈判", 80 },
    { "won", "赢单", 100 },
    { "lost", "输单", 0 },
};

inline std::optional<SalesStage> salesStage(std::string_view code)
{
    for (const auto& stage : kSalesStages)
        if (stage.code == code)
            return stage;
    return std::nullopt;
}

}
