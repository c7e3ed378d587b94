// The search network of a run: syllable nodes that point into the
// pronunciation dictionary and null nodes ("!NULL", "!Null", "!null") that
// consume no speech.
//
// Text format ("net", also the lines of a generated network):
//   line 0      version line, not interpreted
//   line 1      "N=%d\tL=%d"
//   N lines     "I=%d\tW=label"   label = unit name, "!NULL", or "word@index"
//                                  (index into the dictionary, no lookup)
//   L lines     "J=%d\tS=%d\tE=%d" link from node S to node E
// Binary format ("netb"), little-endian int32, no magic:
//   N, L, sylIndex of nodes 2..N-1, then L pairs (S, E). Nodes 0 and 1 are
//   the null start and end nodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

class dictClass;

// Upper bound on the syllable successors (nextEmitting entries) of all nodes
// together. Parallel links between null nodes multiply the paths, and every
// path is one entry; no generated network comes near this.
constexpr size_t MAX_NET_SUCCESSORS = size_t{1} << 22;
// Upper bound on the nodes of a network. The search costs about 1 KB per
// node, so this keeps a run near 250 MB; a recognition over some 3,000
// candidate sentences of 30 characters reaches it.
constexpr int32_t MAX_NET_NODES = 200000;

// The search keeps its per-node merge slots beside the network, so a node
// carries only what the network defines.
struct netNode {
    int32_t sylIndex = -1;           // m_pronDict index, -1 for a null node
    int32_t pathFlag = 1;            // 1: counts in the recognised syllable path
    std::string word;                // label; empty for syllable nodes of a netb file
    std::vector<int32_t> next;       // direct successors, in link order
    std::vector<int32_t> nextEmitting;  // syllable nodes reached through null nodes, depth first
    float penalty = 0.0f;            // added when a candidate enters the node
};

class netClass {
public:
    int32_t nodeNum = 0;  // N of the header
    int32_t linkNum = 0;  // L of the header
    std::vector<netNode> node;

    // Dispatches on the extension: "net"/"NET" text, "netb"/"NETB" binary.
    void readNetFile(const std::string& path, dictClass& dict);
    // Reads a binary network. Negative model indices of the entries used are
    // set to 0 in `dict` without report.
    void readNetbFile(const std::string& path, dictClass& dict);
    // The same over the file's bytes in memory; `source` names it in messages.
    void readNetbBytes(const std::string& bytes, const std::string& source, dictClass& dict);
    // Builds the network from text-format lines. Missing models of the
    // entries used are set to 0 in `dict` and listed in `missingListPath`
    // (e.g. "<outputDir>/missingModelUsed.txt"), or as console warnings when
    // it is empty.
    void buildFromTxt(const std::vector<std::string>& lines, dictClass& dict,
                      const std::string& missingListPath = "");
    // The same over a dictionary shared read-only by concurrent runs, whose
    // missing models were replaced when it was loaded
    // (dictClass::replaceMissingModels): nothing is written, and a missing
    // model is a fatal error.
    void buildFromTxtShared(const std::vector<std::string>& lines, const dictClass& dict);
    // Text format with "word@sylIndex" labels, so it reads back without lookups.
    void writeTxtFile(const std::string& path) const;
    // Binary format; needs null nodes 0 and 1 and syllable nodes from 2 on.
    void writeNetbFile(const std::string& path) const;
    // penalty 0 and pathFlag 1 everywhere, then `p` on filler nodes.
    void setNodePenalty(float p);
    // Largest nextEmitting size; 0 without nodes.
    int32_t maxFanOut() const;
    // Appends the syllable nodes reachable from node i through null nodes,
    // depth first, once per path. A cycle of null nodes is a fatal error.
    void collectNextEmitting(int32_t i, std::vector<int32_t>& out) const;

private:
    void parseTxt(const std::vector<std::string>& lines, const dictClass& dict);
    void fixMissingModels(dictClass& dict, const std::string& missingListPath);
};

}  // namespace qv
