#include "engine/lexicon/net.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/lexicon/dict.h"
#include "engine/utility.h"

namespace qv {

static const char* kUnit = "net";

namespace {

bool isNullLabel(const std::string& w) { return w == "!NULL" || w == "!Null" || w == "!null"; }

bool isFiller(const std::string& w) { return w == "filler" || w == "fillerC" || w == "fillerV"; }

int32_t clampToInt32(long long v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Depth-first walk over null nodes without recursion, so that long null
// chains cannot exhaust the stack. `onPath` marks the null nodes of the
// current path (a revisit is a null cycle); it is all zero on entry and on
// return.
void collectInto(const std::vector<netNode>& nodes, int32_t start, std::vector<int32_t>& out,
                 std::vector<char>& onPath) {
    const int32_t n = static_cast<int32_t>(nodes.size());
    if (start < 0 || start >= n)
        fatalErrorF("Error: Node %d out of the range of [0, %d]! (line %d of file %s)", start, n - 1, __LINE__, kUnit);
    struct Frame {
        int32_t node;
        size_t k;
    };
    std::vector<Frame> stack;
    stack.push_back({start, 0});
    if (nodes[static_cast<size_t>(start)].sylIndex < 0) onPath[static_cast<size_t>(start)] = 1;
    while (!stack.empty()) {
        Frame& f = stack.back();
        const std::vector<int32_t>& nx = nodes[static_cast<size_t>(f.node)].next;
        if (f.k >= nx.size()) {
            onPath[static_cast<size_t>(f.node)] = 0;
            stack.pop_back();
            continue;
        }
        const int32_t from = f.node;
        const int32_t s = nx[f.k++];
        if (s < 0 || s >= n) {
            for (const Frame& g : stack) onPath[static_cast<size_t>(g.node)] = 0;
            fatalErrorF("Error: Link %d -> %d ends outside the net of %d nodes! (line %d of file %s)", from, s, n,
                        __LINE__, kUnit);
        }
        if (nodes[static_cast<size_t>(s)].sylIndex >= 0) {
            if (out.size() >= MAX_NET_SUCCESSORS) {
                for (const Frame& g : stack) onPath[static_cast<size_t>(g.node)] = 0;
                fatalErrorF("Error: Node %d reaches more than %zu syllable nodes through null nodes! (line %d of file %s)",
                            start, MAX_NET_SUCCESSORS, __LINE__, kUnit);
            }
            out.push_back(s);
        } else if (onPath[static_cast<size_t>(s)]) {
            for (const Frame& g : stack) onPath[static_cast<size_t>(g.node)] = 0;
            fatalErrorF("Error: Null nodes form a cycle through node %d (\"%s\")! (line %d of file %s)", s,
                        nodes[static_cast<size_t>(s)].word.c_str(), __LINE__, kUnit);
        } else {
            onPath[static_cast<size_t>(s)] = 1;
            stack.push_back({s, 0});
        }
    }
}

// nextEmitting of every node. The list of a null node is exactly what it
// contributes to its predecessors, so null nodes are finished first (post
// order) and then reused: the cost is the size of the lists, where walking
// from every node anew would be quadratic along long null chains. The result
// equals collectNextEmitting node by node.
void collectAll(std::vector<netNode>& nodes) {
    const int32_t n = static_cast<int32_t>(nodes.size());
    for (netNode& nd : nodes) nd.nextEmitting.clear();
    auto checkTarget = [&](int32_t from, int32_t s) {
        if (s < 0 || s >= n)
            fatalErrorF("Error: Link %d -> %d ends outside the net of %d nodes! (line %d of file %s)", from, s, n,
                        __LINE__, kUnit);
    };
    // Lists are copied into their predecessors, so parallel null links double
    // them at every step; the total is bounded before anything is copied.
    size_t total = 0;
    auto gather = [&](int32_t i) {
        size_t size = 0;
        for (int32_t s : nodes[static_cast<size_t>(i)].next) {
            const netNode& t = nodes[static_cast<size_t>(s)];
            size += t.sylIndex >= 0 ? 1 : t.nextEmitting.size();
        }
        if (size > MAX_NET_SUCCESSORS - total)
            fatalErrorF("Error: The null nodes of the net lead to more than %zu syllable successors in all "
                        "(at node %d)! (line %d of file %s)",
                        MAX_NET_SUCCESSORS, i, __LINE__, kUnit);
        total += size;
        std::vector<int32_t> out;
        out.reserve(size);
        for (int32_t s : nodes[static_cast<size_t>(i)].next) {
            const netNode& t = nodes[static_cast<size_t>(s)];
            if (t.sylIndex >= 0)
                out.push_back(s);
            else
                out.insert(out.end(), t.nextEmitting.begin(), t.nextEmitting.end());
        }
        nodes[static_cast<size_t>(i)].nextEmitting = std::move(out);
    };

    // 0 unvisited, 1 on the current path, 2 finished (null nodes only).
    std::vector<char> state(nodes.size(), 0);
    struct Frame {
        int32_t node;
        size_t k;
    };
    std::vector<Frame> stack;
    for (int32_t root = 0; root < n; ++root) {
        if (nodes[static_cast<size_t>(root)].sylIndex >= 0 || state[static_cast<size_t>(root)] != 0) continue;
        state[static_cast<size_t>(root)] = 1;
        stack.push_back({root, 0});
        while (!stack.empty()) {
            Frame& f = stack.back();
            const std::vector<int32_t>& nx = nodes[static_cast<size_t>(f.node)].next;
            if (f.k >= nx.size()) {
                gather(f.node);
                state[static_cast<size_t>(f.node)] = 2;
                stack.pop_back();
                continue;
            }
            const int32_t from = f.node;
            const int32_t s = nx[f.k++];
            checkTarget(from, s);
            const netNode& t = nodes[static_cast<size_t>(s)];
            if (t.sylIndex >= 0 || state[static_cast<size_t>(s)] == 2) continue;
            if (state[static_cast<size_t>(s)] == 1)
                fatalErrorF("Error: Null nodes form a cycle through node %d (\"%s\")! (line %d of file %s)", s,
                            t.word.c_str(), __LINE__, kUnit);
            state[static_cast<size_t>(s)] = 1;
            stack.push_back({s, 0});
        }
    }
    for (int32_t i = 0; i < n; ++i) {
        if (nodes[static_cast<size_t>(i)].sylIndex < 0) continue;
        for (int32_t s : nodes[static_cast<size_t>(i)].next) checkTarget(i, s);
        gather(i);
    }
}

void checkLinkEnds(int32_t s, int32_t e, int32_t nodeNum, const char* where) {
    if (s < 0 || s >= nodeNum || e < 0 || e >= nodeNum)
        fatalErrorF("Error: Link %d -> %d in %s ends outside [0, %d]! (line %d of file %s)", s, e, where, nodeNum - 1,
                    __LINE__, kUnit);
}

int32_t getInt32LE(const unsigned char* p) {
    uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(v);
}

void putInt32LE(std::vector<unsigned char>& buf, int32_t x) {
    uint32_t v = static_cast<uint32_t>(x);
    for (int k = 0; k < 4; ++k) buf.push_back(static_cast<unsigned char>((v >> (8 * k)) & 0xff));
}

}  // namespace

void netClass::readNetFile(const std::string& path, dictClass& dict) {
    const std::string ext = fileExtension(path);
    if (ext == "netb" || ext == "NETB") {
        readNetbFile(path, dict);
    } else if (ext == "net" || ext == "NET") {
        std::vector<std::string> lines;
        readLines(path, lines);
        buildFromTxt(lines, dict);
    } else {
        fatalErrorF("Error in reading %s: The only allowed extension are \"net\" and \"netb\".  (line %d of file %s)\n",
                    path.c_str(), __LINE__, kUnit);
    }
}

void netClass::buildFromTxt(const std::vector<std::string>& lines, dictClass& dict,
                            const std::string& missingListPath) {
    parseTxt(lines, dict);
    fixMissingModels(dict, missingListPath);
}

void netClass::buildFromTxtShared(const std::vector<std::string>& lines, const dictClass& dict) {
    parseTxt(lines, dict);
    const int32_t dictSize = static_cast<int32_t>(dict.m_pronDict.size());
    for (const netNode& nd : node) {
        if (nd.sylIndex == -1) continue;
        if (nd.sylIndex < 0 || nd.sylIndex >= dictSize)
            fatalErrorF("Error: sylIndex (%d) out of the range of [0, %d]! (line %d of file %s)\n", nd.sylIndex,
                        dictSize, __LINE__, kUnit);
        for (int32_t m : dict.m_pronDict[static_cast<size_t>(nd.sylIndex)].modelIndex)
            if (m < 0)
                fatalErrorF("Error: syllable \"%s\" has a missing model in a dictionary shared read-only (line %d of "
                            "file %s)",
                            nd.word.c_str(), __LINE__, kUnit);
    }
}

void netClass::parseTxt(const std::vector<std::string>& lines, const dictClass& dict) {
    if (lines.empty()) fatalErrorF("Error: netVs.size()==0! (line %d of file %s)", __LINE__, kUnit);
    node.clear();
    nodeNum = 0;
    linkNum = 0;

    int n = 0, l = 0;
    if (lines.size() < 2 || sscanf(lines[1].c_str(), "N=%d L=%d", &n, &l) != 2)
        fatalErrorF("Error: The net has no \"N=%%d\\tL=%%d\" header in line 1! (line %d of file %s)", __LINE__, kUnit);
    if (n < 0 || l < 0)
        fatalErrorF("Error: Negative node or link count (N=%d, L=%d) in the net! (line %d of file %s)", n, l, __LINE__,
                    kUnit);
    const long long needed = 2LL + n + l;
    if (static_cast<long long>(lines.size()) < needed)
        fatalErrorF("Error: The net has %d lines, but N=%d and L=%d need %lld! (line %d of file %s)",
                    static_cast<int>(lines.size()), n, l, needed, __LINE__, kUnit);
    if (n > MAX_NET_NODES)
        fatalErrorF("Error: The net has %d nodes, more than the %d one run can search; give fewer or shorter "
                    "sentences. (line %d of file %s)",
                    n, MAX_NET_NODES, __LINE__, kUnit);
    nodeNum = n;
    linkNum = l;

    const int32_t dictSize = static_cast<int32_t>(dict.m_pronDict.size());
    node.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const std::string& line = lines[static_cast<size_t>(2 + i)];
        int num = 0, pos = -1;
        if (sscanf(line.c_str(), "I=%d W=%n", &num, &pos) < 1 || pos < 0)
            fatalErrorF("Error: Cannot parse node line \"%s\" (node %d)! (line %d of file %s)", line.c_str(), i,
                        __LINE__, kUnit);
        std::string label = line.substr(static_cast<size_t>(pos));
        while (!label.empty() && (label.back() == ' ' || label.back() == '\t' || label.back() == '\r' ||
                                  label.back() == '\n'))
            label.pop_back();
        netNode& nd = node[static_cast<size_t>(i)];
        if (isNullLabel(label)) {
            nd.word = label;
            nd.sylIndex = -1;
        } else {
            size_t at = label.find('@');
            if (at != std::string::npos) {
                nd.word = label.substr(0, at);
                nd.sylIndex = clampToInt32(strtoll(label.c_str() + at + 1, nullptr, 10));
            } else {
                nd.word = label;
                nd.sylIndex = dict.pronDictSearch(label, 0, dictSize - 1);
            }
            if (nd.sylIndex == -1)
                fatalErrorF("Error: \"%s\" (%d) not found in the pronunciation dictionary. (line %d of file %s)\n",
                            nd.word.c_str(), i, __LINE__, kUnit);
        }
    }

    for (int j = 0; j < l; ++j) {
        const std::string& line = lines[static_cast<size_t>(2 + n + j)];
        int s = 0, e = 0;
        if (sscanf(line.c_str(), "%*s S=%d E=%d", &s, &e) != 2)
            fatalErrorF("Error: Cannot parse link line \"%s\" (link %d)! (line %d of file %s)", line.c_str(), j,
                        __LINE__, kUnit);
        checkLinkEnds(s, e, n, "the net text");
        node[static_cast<size_t>(s)].next.push_back(e);
    }

    collectAll(node);
}

void netClass::fixMissingModels(dictClass& dict, const std::string& missingListPath) {
    const int32_t dictSize = static_cast<int32_t>(dict.m_pronDict.size());
    // Every syllable node must point into the dictionary; a missing model is
    // reported once (at the first node using its entry) and replaced by
    // model 0 so that the search always has a model to score.
    // The list goes to the file only when the caller names one (the run's
    // output folder); otherwise its warnings go to the console.
    std::vector<std::string> missing;
    for (const netNode& nd : node) {
        if (nd.sylIndex == -1) continue;
        if (nd.sylIndex < 0 || nd.sylIndex >= dictSize)
            fatalErrorF("Error: sylIndex (%d) out of the range of [0, %d]! (line %d of file %s)\n", nd.sylIndex,
                        dictSize, __LINE__, kUnit);
        pronEntry& entry = dict.m_pronDict[static_cast<size_t>(nd.sylIndex)];
        for (size_t k = 0; k < entry.modelIndex.size(); ++k) {
            if (entry.modelIndex[k] >= 0) continue;
            missing.push_back(strFormat("Warning: Missing model in syllable \"%s\" (myDict.m_pronDict[%d].modelIndex[%d])\n",
                                        entry.name.c_str(), nd.sylIndex, static_cast<int>(k)));
            entry.modelIndex[k] = 0;
        }
    }
    if (missingListPath.empty()) {
        for (const std::string& m : missing) consolePrint(m);
        return;
    }
    FILE* fp = openOrDie(missingListPath, "w");
    fprintf(fp, "List of missing models used in net.\n");
    for (const std::string& m : missing) fputs(m.c_str(), fp);
    fclose(fp);
    consolePrintf("\tSaved missing used models in %s\n", missingListPath.c_str());
}

void netClass::readNetbFile(const std::string& path, dictClass& dict) {
    FILE* fp = openOrDie(path, "rb");
    std::string data;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof(buf), fp)) > 0) data.append(buf, got);
    fclose(fp);
    readNetbBytes(data, path, dict);
}

void netClass::readNetbBytes(const std::string& data, const std::string& path, dictClass& dict) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    node.clear();
    nodeNum = 0;
    linkNum = 0;

    if (data.size() < 8)
        fatalErrorF("Error: %s holds %d bytes, too few for the node and link counts! (line %d of file %s)",
                    path.c_str(), static_cast<int>(data.size()), __LINE__, kUnit);
    const int32_t n = getInt32LE(&bytes[0]);
    const int32_t l = getInt32LE(&bytes[4]);
    if (n < 2)
        fatalErrorF("Error: %s declares %d nodes; at least the start and end nodes are needed! (line %d of file %s)",
                    path.c_str(), n, __LINE__, kUnit);
    if (l < 0)
        fatalErrorF("Error: %s declares %d links! (line %d of file %s)", path.c_str(), l, __LINE__, kUnit);
    const long long needed = 8LL + 4LL * (n - 2) + 8LL * l;
    if (static_cast<long long>(data.size()) < needed)
        fatalErrorF("Error: %s holds %lld bytes, but N=%d and L=%d need %lld! (line %d of file %s)", path.c_str(),
                    static_cast<long long>(data.size()), n, l, needed, __LINE__, kUnit);
    if (n > MAX_NET_NODES)
        fatalErrorF("Error: %s declares %d nodes, more than the %d one run can search! (line %d of file %s)",
                    path.c_str(), n, MAX_NET_NODES, __LINE__, kUnit);

    const int32_t dictSize = static_cast<int32_t>(dict.m_pronDict.size());
    node.resize(static_cast<size_t>(n));
    node[0].word = "!NULL";
    node[1].word = "!NULL";
    size_t off = 8;
    for (int32_t i = 2; i < n; ++i, off += 4) {
        int32_t idx = getInt32LE(&bytes[off]);
        if (idx < 0 || idx >= dictSize)
            fatalErrorF("Error: sylIndex (%d) out of the range of [0, %d]! (line %d of file %s)\n", idx, dictSize,
                        __LINE__, kUnit);
        node[static_cast<size_t>(i)].sylIndex = idx;
    }
    for (int32_t j = 0; j < l; ++j, off += 8) {
        int32_t s = getInt32LE(&bytes[off]);
        int32_t e = getInt32LE(&bytes[off + 4]);
        checkLinkEnds(s, e, n, path.c_str());
        node[static_cast<size_t>(s)].next.push_back(e);
    }
    nodeNum = n;
    linkNum = l;

    collectAll(node);

    for (size_t i = 2; i < node.size(); ++i)
        for (int32_t& m : dict.m_pronDict[static_cast<size_t>(node[i].sylIndex)].modelIndex)
            if (m < 0) m = 0;
}

void netClass::writeTxtFile(const std::string& path) const {
    FILE* fp = openOrDie(path, "w");
    fprintf(fp, "%s\n", "VERSION=1.0 (by netClass::writeTxtFile())");
    fprintf(fp, "N=%d\tL=%d\n", nodeNum, linkNum);
    for (size_t i = 0; i < node.size(); ++i) {
        const netNode& nd = node[i];
        if (nd.sylIndex >= 0)
            fprintf(fp, "I=%d\tW=%s@%d\n", static_cast<int>(i), nd.word.c_str(), nd.sylIndex);
        else
            fprintf(fp, "I=%d\tW=%s\n", static_cast<int>(i), nd.word.c_str());
    }
    int j = 0;
    for (size_t s = 0; s < node.size(); ++s)
        for (int32_t e : node[s].next) fprintf(fp, "J=%d\tS=%d\tE=%d\n", j++, static_cast<int>(s), e);
    fclose(fp);
}

void netClass::writeNetbFile(const std::string& path) const {
    // The format has no labels: nodes 0 and 1 are implied null nodes and
    // every later node must carry a dictionary index.
    if (node.size() < 2 || node[0].sylIndex >= 0 || node[1].sylIndex >= 0)
        fatalErrorF("Error: Cannot write %s: a netb net starts with the null nodes 0 and 1! (line %d of file %s)",
                    path.c_str(), __LINE__, kUnit);
    std::vector<unsigned char> buf;
    int32_t links = 0;
    for (const netNode& nd : node) links += static_cast<int32_t>(nd.next.size());
    putInt32LE(buf, static_cast<int32_t>(node.size()));
    putInt32LE(buf, links);
    for (size_t i = 2; i < node.size(); ++i) {
        if (node[i].sylIndex < 0)
            fatalErrorF("Error: Cannot write %s: node %d is a null node, which netb cannot hold! (line %d of file %s)",
                        path.c_str(), static_cast<int>(i), __LINE__, kUnit);
        putInt32LE(buf, node[i].sylIndex);
    }
    for (size_t s = 0; s < node.size(); ++s)
        for (int32_t e : node[s].next) {
            putInt32LE(buf, static_cast<int32_t>(s));
            putInt32LE(buf, e);
        }
    FILE* fp = openOrDie(path, "wb");
    size_t put = fwrite(buf.data(), 1, buf.size(), fp);
    int closed = fclose(fp);
    if (put != buf.size() || closed != 0)
        fatalErrorF("Error: Cannot write %s! (line %d of file %s)", path.c_str(), __LINE__, kUnit);
}

void netClass::setNodePenalty(float p) {
    for (netNode& nd : node) {
        nd.penalty = 0.0f;
        nd.pathFlag = 1;
    }
    for (netNode& nd : node)
        if (isFiller(nd.word)) nd.penalty = p;
}

int32_t netClass::maxFanOut() const {
    size_t m = 0;
    for (const netNode& nd : node) m = std::max(m, nd.nextEmitting.size());
    return static_cast<int32_t>(m);
}

void netClass::collectNextEmitting(int32_t i, std::vector<int32_t>& out) const {
    std::vector<char> onPath(node.size(), 0);
    collectInto(node, i, out, onPath);
}

}  // namespace qv
