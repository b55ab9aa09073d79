#include "exact/straightforward.h"

#include <ostream>
#include <unordered_set>

#include "common/core_helpers.h"

DTYPE_BYTEPAIR_STATS bytePairStats(const std::vector<int>& corpus) {
    DTYPE_BYTEPAIR_STATS stats;
    const int sizeOfCorpus = static_cast<int>(corpus.size());
    for (int i = 0; i < sizeOfCorpus - 1; ++i) {
        ++stats[DTYPE_BYTEPAIR{corpus[i], corpus[i + 1]}];
    }
    return stats;
}

MostFreqPair getMaxFreqPair(DTYPE_BYTEPAIR_STATS stats) {
    // The first pair of maximal count in walk order wins; a later pair with
    // the same count never replaces it.
    MostFreqPair best{DTYPE_BYTEPAIR{-1, -1}, 0};
    for (const auto& entry : stats) {
        if (entry.second > best.freq) {
            best.freq = entry.second;
            best.pair = entry.first;
        }
    }
    return best;
}

void updateVocab(DTYPE_BYTEPAIR_VOCAB& vocab, DTYPE_BYTEPAIR_REV_VOCAB& revVocab,
                 const DTYPE_BYTEPAIR& pair, int& nextVocabIndex, int& vocabSize) {
    if (vocab.find(pair) != vocab.end()) return;
    vocab.emplace(pair, nextVocabIndex);
    revVocab.emplace(nextVocabIndex, pair);
    ++nextVocabIndex;
    ++vocabSize;
}

void mergeCorpus(std::vector<int>& corpus, const DTYPE_BYTEPAIR_VOCAB& vocab) {
    for (;;) {
        std::vector<int> newCorpus;
        newCorpus.reserve(corpus.size());
        const int sizeOfCorpus = static_cast<int>(corpus.size());
        bool changeFlag = false;
        int i = 0;
        while (i < sizeOfCorpus - 1) {
            auto it = vocab.find(DTYPE_BYTEPAIR{corpus[i], corpus[i + 1]});
            if (it != vocab.end()) {
                newCorpus.push_back(it->second);
                changeFlag = true;
                i += 2;
            } else {
                newCorpus.push_back(corpus[i]);
                i += 1;
            }
        }
        if (i == sizeOfCorpus - 1) newCorpus.push_back(corpus[i]);
        if (!changeFlag) return;
        corpus.swap(newCorpus);
    }
}

std::vector<std::string> splitString(std::string& str) {
    std::vector<std::string> vec;
    std::string tempString;
    for (char c : str) {
        if (c == ' ') {
            vec.push_back(tempString);
            tempString.clear();
        } else {
            tempString.push_back(c);
        }
    }
    vec.push_back(tempString);
    return vec;
}

namespace bytepairtokenizer {

void fitStraightforward(MergeTables& tables, std::vector<int>& corpus, int maxVocabSize,
                        int nIter, std::ostream& out, const std::function<bool()>& interrupted) {
    const int originalSize = static_cast<int>(corpus.size());
    for (int i = 0; i < nIter; ++i) {
        if (interrupted && interrupted()) return;
        out << "Iteration " << i + 1 << std::endl;
        const MostFreqPair mostFreqPair = getMaxFreqPair(bytePairStats(corpus));
        out << "[" << mostFreqPair.pair[0] << " .. " << mostFreqPair.pair[1] << "] -> "
            << mostFreqPair.freq << std::endl;
        if (mostFreqPair.freq == 0) {
            out << "Nothing to Merge";  // no line end, no flush
            return;
        }
        updateVocab(tables.vocab, tables.revVocab, mostFreqPair.pair, tables.nextVocabIndex,
                    tables.vocabSize);
        out << tables.size() << std::endl;
        // The merge just recorded stays in the tables but is not applied.
        if (tables.size() >= maxVocabSize) return;
        mergeCorpus(corpus, tables.vocab);
        const int newSize = static_cast<int>(corpus.size());
        out << newSize << " " << originalSize << " " << reductionPercent(originalSize, newSize)
            << "%" << std::endl;
    }
}

std::vector<int> baseTokens(std::string_view s) {
    std::vector<int> ids(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) ids[i] = baseToken(s[i]);
    return ids;
}

// Without recursion, so a chain of any depth costs no C++ stack. `onPath`
// holds the merged ids whose expansion is in progress; meeting one again
// means the table leads an id back to itself, which would never end.
void appendExpansion(std::string& out, int token, const DTYPE_BYTEPAIR_REV_VOCAB& revVocab) {
    struct Frame {
        int id;
        DTYPE_BYTEPAIR pair;
        int next;  // index of the element to expand next (0, 1, or 2 = done)
    };
    if (token <= 255) {
        out.push_back(tokenByte(token));
        return;
    }
    std::vector<Frame> stack;
    std::unordered_set<int> onPath;
    auto push = [&](int id) {
        auto it = revVocab.find(id);
        const DTYPE_BYTEPAIR pair = it == revVocab.end() ? DTYPE_BYTEPAIR{0, 0} : it->second;
        if (!onPath.insert(id).second) throwCyclicId(id);
        stack.push_back(Frame{id, pair, 0});
    };
    push(token);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == 2) {
            onPath.erase(top.id);
            stack.pop_back();
            continue;
        }
        const int child = top.pair[top.next++];
        if (child <= 255) {
            out.push_back(tokenByte(child));
        } else {
            push(child);
        }
    }
}

std::string _decodeRecursive(int token, DTYPE_BYTEPAIR_REV_VOCAB& revVocab) {
    std::string out;
    appendExpansion(out, token, revVocab);
    return out;
}

std::string decodeStraightforward(const std::vector<int>& encoded,
                                  const DTYPE_BYTEPAIR_REV_VOCAB& revVocab) {
    std::string decoded;
    for (int id : encoded) appendExpansion(decoded, id, revVocab);
    return decoded;
}

}  // namespace bytepairtokenizer
