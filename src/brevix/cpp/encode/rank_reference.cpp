#include "encode/rank_reference.h"

#include <map>
#include <utility>

namespace brevix::bpe {

std::vector<TokenId> encodeByRankReference(const ByteIds& byteIds, const std::vector<Merge>& merges,
                                           std::string_view piece) {
    std::map<std::pair<TokenId, TokenId>, TokenId> rank;
    for (const Merge& m : merges) {
        auto [it, added] = rank.emplace(std::make_pair(m.left, m.right), m.id);
        if (!added && m.id < it->second) it->second = m.id;
    }
    std::vector<TokenId> ids;
    for (char c : piece) ids.push_back(byteIds[static_cast<unsigned char>(c)]);
    for (;;) {
        std::size_t best = ids.size();
        TokenId bestRank = 0;
        for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
            auto it = rank.find({ids[i], ids[i + 1]});
            if (it == rank.end()) continue;
            if (best == ids.size() || it->second < bestRank) {  // strict: leftmost of equal ranks
                best = i;
                bestRank = it->second;
            }
        }
        if (best == ids.size()) return ids;
        ids[best] = bestRank;
        ids.erase(ids.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }
}

}  // namespace brevix::bpe
