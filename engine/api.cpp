// The public entry of the engine: a parameter file plus overrides in, the
// result record out, engine errors turned into quorvane::Error.
#include "quorvane.h"

#include <new>

#include "engine/apiResult.h"
#include "engine/recogTask.h"
#include "engine/scoring/mlf.h"
#include "engine/utility.h"

namespace quorvane {

const char* const kDiscountReasons[7] = {
    "Incomplete Viterbi search path",
    "No. of over-short syllables",
    "No. of overlong syllables",
    "No. of sp longer than 0.25 sec",
    "Difference between identified and actual no. of syllables",
    "Ratio between the longest and shortest syllables greater than 4",
    "Volume of sil too large",
};

const char* const kScoreNames[3] = {"rank", "model rank", "likelihood"};

const char* errorKindName(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::UnreadableAudio: return "unreadable audio";
        case ErrorKind::TooQuiet: return "too quiet";
        case ErrorKind::Clipped: return "clipped";
        case ErrorKind::NoSpeech: return "no speech";
        case ErrorKind::TextNotCovered: return "text not covered";
        case ErrorKind::Data: return "data";
        case ErrorKind::Internal: break;
    }
    return "internal";
}

ErrorKind publicKind(qv::FatalKind kind) {
    switch (kind) {
        case qv::FatalKind::UnreadableAudio: return ErrorKind::UnreadableAudio;
        case qv::FatalKind::TooQuiet: return ErrorKind::TooQuiet;
        case qv::FatalKind::Clipped: return ErrorKind::Clipped;
        case qv::FatalKind::NoSpeech: return ErrorKind::NoSpeech;
        case qv::FatalKind::TextNotCovered: return ErrorKind::TextNotCovered;
        case qv::FatalKind::Data: return ErrorKind::Data;
        case qv::FatalKind::Internal: break;
    }
    return ErrorKind::Internal;
}

namespace {

// The fields a syllable and a phone share: name, frames and scores.
template <class Out, class In>
void copySpan(Out& out, const In& in) {
    out.name = in.name;
    out.startFrame = in.startFrame;
    out.endFrame = in.endFrame;
    out.startTime = in.startFrame * 0.01;
    out.endTime = (in.endFrame + 1) * 0.01;
    out.score = in.score;
    for (int k = 0; k < 3; ++k) out.scores[k] = in.scores[k];
}

}  // namespace

Result toResult(const qv::mlfClass& m, int textIndex, const qv::macroNameList& names) {
    Result r;
    r.textIndex = textIndex;
    r.textIndices.assign(m.textIndex.begin(), m.textIndex.end());
    r.texts = m.texts;
    r.finalScore = m.finalScore;
    r.origScore = m.origScore;
    for (int k = 0; k < 3; ++k) {
        r.finalScores[k] = m.finalScores[k];
        r.origScores[k] = m.origScores[k];
    }
    r.weightedRank = m.weightedRank;
    r.logProb = m.LogProb;
    r.discounts.assign(m.m_discountFactor.begin(), m.m_discountFactor.end());
    r.recognized = m.recogSyl;
    r.tone = m.Tone;
    r.mpa = m.MPA;
    r.hanyu = m.HanYu;
    r.cgu = m.CGU;
    r.warnings = m.warnings;
    r.skipped = m.skippedText;
    r.noSpeech = m.noSpeech;
    r.noSpeechReason = m.noSpeechReason;
    size_t aligned = 0;  // scored nodes so far: the expected syllables they stand for
    for (const auto& n : m.nodeList) {
        if (qv::isScoredNodeName(n.name)) ++aligned;
        Syllable s;
        copySpan(s, n);
        s.text = n.text;
        s.toneExpected = n.toneExpected;
        s.toneHeard = n.toneHeard;
        s.toneHeardPosterior = n.toneHeardPosterior;
        s.toneScore = n.toneScore;
        for (const auto& p : n.phoneList) {
            Phone ph;
            copySpan(ph, p);
            ph.rankRatio = p.rankRatio;
            ph.rank = p.rank;
            for (int32_t c : p.competingModel)
                if (c >= 0 && static_cast<size_t>(c) < names.size()) ph.competitors.push_back(names[static_cast<size_t>(c)]);
            s.phones.push_back(std::move(ph));
        }
        r.syllables.push_back(std::move(s));
    }
    // The alignment stops early when the search finds no complete path (and
    // never starts without speech): the syllables it did not reach are still
    // part of the text, and the result says so.
    if (aligned < m.expectedSyl.size()) {
        const std::string reason = m.noSpeech ? m.noSpeechReason
                                              : "not reached by the alignment: the search found no complete path "
                                                "through the text";
        for (size_t k = aligned; k < m.expectedSyl.size(); ++k) {
            Syllable s;
            s.name = m.expectedSyl[k];
            s.text = k < m.expectedText.size() ? m.expectedText[k] : std::string();
            s.startFrame = s.endFrame = -1;
            s.found = false;
            s.reason = reason;
            r.syllables.push_back(std::move(s));
        }
        if (!m.noSpeech)
            r.warnings.push_back(std::to_string(m.expectedSyl.size() - aligned) + " of " +
                                 std::to_string(m.expectedSyl.size()) + " syllables were not found (" + reason + ")");
    }
    return r;
}

Result run(const Request& request) {
    try {
        // No error log before the parameters say whether the run has an
        // output folder; the pipeline decides from there on.
        qv::ErrorLogScope noLog(false);
        qv::recogParam prm;
        qv::recogParamRead(request.paramFile, prm);
        for (const auto& kv : request.overrides) qv::recogParamSet(prm, kv.first, kv.second, "the overrides");
        qv::mlfClass result;
        qv::macroNameList names;
        int idx = qv::recogViaTreeLexicon(prm, result, &names);
        return toResult(result, idx, names);
    } catch (const qv::FatalError& e) {
        throw Error(e.what(), publicKind(e.kind()));
    } catch (const std::bad_alloc&) {
        // Arenas and feature matrices grow with the input; running out of
        // memory is a failed run like any other, not a crash of the host.
        throw Error("Error: out of memory during the run", ErrorKind::Internal);
    }
}

void setLogSink(std::function<void(const std::string&)> sink) { qv::setConsoleSink(std::move(sink)); }

}  // namespace quorvane
