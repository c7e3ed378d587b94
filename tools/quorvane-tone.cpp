// quorvane-tone: trains and measures the tone model on tone feature files
// (the tone.txt result files of engine runs, concatenated; a line is
// "syllable TAB expected TAB heard TAB posterior TAB score TAB 5 posteriors
// TAB features"; lines with score -1 had no voiced contour and are skipped).
//
//   quorvane-tone train --train A.txt[,B.txt...] [--dev D.txt] --out MODEL
//                       [--hidden H] [--weight W] [--epochs N] [--l2 L] [--seed S]
//   quorvane-tone eval  --model MODEL --test T.txt[,U.txt...] [--scores OUT]
//
// train: a one-hidden-layer network (tanh, softmax over tones 1-5) fitted by
// full-batch Adam on the cross-entropy with classes weighted to equal mass
// and a small L2 penalty; the temperature is then fitted on the dev file
// (speakers the training never saw) by minimal negative log-likelihood.
// eval: share of tones heard right and the confusion matrix (rows expected,
// columns heard), as Markdown.
//
// Exit codes: 0 success, 1 input error, 2 usage error.
#include <CLI/CLI.hpp>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/tone/toneModel.h"
#include "engine/utility.h"

namespace {

struct Sample {
    qv::toneFeatureVec x;
    int y;  // 0..4
};

std::vector<Sample> readFeatures(const std::string& list) {
    std::vector<Sample> out;
    std::stringstream files(list);
    std::string path;
    while (std::getline(files, path, ',')) {
        std::ifstream in(path);
        if (!in) throw std::runtime_error("cannot read " + path);
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> f;
            std::stringstream ls(line);
            std::string tok;
            while (std::getline(ls, tok, '\t')) f.push_back(tok);
            if (f.size() != 10 + qv::TONE_FEATURE_NUM) continue;
            const int tone = std::atoi(f[1].c_str());
            if (tone < 1 || tone > 5 || std::atof(f[4].c_str()) < 0) continue;
            Sample s;
            s.y = tone - 1;
            for (int i = 0; i < qv::TONE_FEATURE_NUM; ++i) s.x[static_cast<size_t>(i)] = std::strtof(f[10 + static_cast<size_t>(i)].c_str(), nullptr);
            out.push_back(s);
        }
    }
    return out;
}

void writeModel(const qv::toneModelClass& m, const std::string& path) {
    std::ofstream o(path);
    o << "% Tone classifier (quorvane-tone train): tones 1-4 and neutral from the pitch contour of a syllable.\n";
    o << "toneModel 1\nweight " << m.weight << "\nfeatures " << qv::TONE_FEATURE_NUM << "\nhidden " << m.hidden
      << "\nclasses " << qv::TONE_CLASS_NUM << "\ntemperature " << m.temperature << "\n";
    auto row = [&](const char* k, const std::vector<float>& v) {
        o << k;
        char b[32];
        for (float x : v) {
            snprintf(b, sizeof b, " %.6g", x);
            o << b;
        }
        o << "\n";
    };
    row("mean", m.mean);
    row("scale", m.scale);
    row("w1", m.w1);
    row("b1", m.b1);
    row("w2", m.w2);
    row("b2", m.b2);
    if (!o) throw std::runtime_error("cannot write " + path);
}

double meanNll(const qv::toneModelClass& m, const std::vector<Sample>& data) {
    double nll = 0;
    for (const Sample& s : data) nll -= std::log(std::max(1e-9f, m.posterior(s.x)[static_cast<size_t>(s.y)]));
    return data.empty() ? 0 : nll / data.size();
}

qv::toneModelClass train(const std::vector<Sample>& data, int H, int epochs, double l2, unsigned seed) {
    const size_t F = qv::TONE_FEATURE_NUM, C = qv::TONE_CLASS_NUM;
    qv::toneModelClass m;
    m.hidden = H;
    m.mean.assign(F, 0);
    m.scale.assign(F, 1);
    for (const Sample& s : data)
        for (size_t i = 0; i < F; ++i) m.mean[i] += s.x[i] / data.size();
    std::vector<double> var(F, 0);
    for (const Sample& s : data)
        for (size_t i = 0; i < F; ++i) var[i] += (s.x[i] - m.mean[i]) * (s.x[i] - m.mean[i]) / data.size();
    for (size_t i = 0; i < F; ++i) m.scale[i] = static_cast<float>(std::sqrt(var[i]) + 1e-3);
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd(0.0f, 1.0f);
    m.w1.resize(H * F);
    m.b1.assign(static_cast<size_t>(H), 0);
    m.w2.resize(C * H);
    m.b2.assign(C, 0);
    for (float& w : m.w1) w = nd(gen) / std::sqrt(static_cast<float>(F));
    for (float& w : m.w2) w = nd(gen) / std::sqrt(static_cast<float>(H));
    // Class weights: every tone carries the same total mass.
    std::array<double, 5> count{};
    for (const Sample& s : data) count[static_cast<size_t>(s.y)] += 1;
    std::array<double, 5> cw{};
    int present = 0;
    for (double c : count) present += c > 0;
    for (size_t c = 0; c < C; ++c) cw[c] = count[c] > 0 ? data.size() / (present * count[c]) : 0;

    std::vector<float*> params;
    std::vector<size_t> sizes;
    for (std::vector<float>* v : {&m.w1, &m.b1, &m.w2, &m.b2}) {
        params.push_back(v->data());
        sizes.push_back(v->size());
    }
    std::vector<std::vector<double>> g(4), mo(4), ve(4);
    for (int k = 0; k < 4; ++k) {
        g[k].assign(sizes[k], 0);
        mo[k].assign(sizes[k], 0);
        ve[k].assign(sizes[k], 0);
    }
    const double lr = 0.01, b1 = 0.9, b2 = 0.999;
    std::vector<float> z(F), h(static_cast<size_t>(H)), p(C);
    for (int ep = 1; ep <= epochs; ++ep) {
        for (auto& v : g) std::fill(v.begin(), v.end(), 0.0);
        double wsum = 0;
        for (const Sample& s : data) {
            for (size_t i = 0; i < F; ++i) z[i] = (s.x[i] - m.mean[i]) / m.scale[i];
            for (size_t j = 0; j < static_cast<size_t>(H); ++j) {
                float a = m.b1[j];
                for (size_t i = 0; i < F; ++i) a += m.w1[j * F + i] * z[i];
                h[j] = std::tanh(a);
            }
            float mx = -1e30f;
            for (size_t c = 0; c < C; ++c) {
                float a = m.b2[c];
                for (size_t j = 0; j < static_cast<size_t>(H); ++j) a += m.w2[c * H + j] * h[j];
                p[c] = a;
                mx = std::max(mx, a);
            }
            float sum = 0;
            for (float& v : p) sum += (v = std::exp(v - mx));
            for (float& v : p) v /= sum;
            const double w = cw[static_cast<size_t>(s.y)];
            wsum += w;
            std::vector<double> dh(static_cast<size_t>(H), 0.0);
            for (size_t c = 0; c < C; ++c) {
                const double d = w * (p[c] - (static_cast<int>(c) == s.y ? 1.0 : 0.0));
                g[3][c] += d;
                for (size_t j = 0; j < static_cast<size_t>(H); ++j) {
                    g[2][c * H + j] += d * h[j];
                    dh[j] += d * m.w2[c * H + j];
                }
            }
            for (size_t j = 0; j < static_cast<size_t>(H); ++j) {
                const double da = dh[j] * (1 - h[j] * h[j]);
                g[1][j] += da;
                for (size_t i = 0; i < F; ++i) g[0][j * F + i] += da * z[i];
            }
        }
        for (int k = 0; k < 4; ++k)
            for (size_t i = 0; i < sizes[k]; ++i) {
                double gi = g[k][i] / wsum + (k % 2 == 0 ? l2 * params[k][i] : 0.0);
                mo[k][i] = b1 * mo[k][i] + (1 - b1) * gi;
                ve[k][i] = b2 * ve[k][i] + (1 - b2) * gi * gi;
                const double mh = mo[k][i] / (1 - std::pow(b1, ep)), vh = ve[k][i] / (1 - std::pow(b2, ep));
                params[k][i] -= static_cast<float>(lr * mh / (std::sqrt(vh) + 1e-8));
            }
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tone model: train and measure"};
    app.require_subcommand(1);
    std::string trainList, devList, out, model, testList, scoresOut;
    int hidden = 16, epochs = 600;
    unsigned seed = 1;
    float weight = 0.2f;
    double l2 = 1e-3;
    CLI::App* tr = app.add_subcommand("train", "fit the tone model");
    tr->add_option("--train", trainList, "training feature files, comma-separated")->required();
    tr->add_option("--dev", devList, "calibration feature files (other speakers)");
    tr->add_option("--out", out, "model file to write")->required();
    tr->add_option("--hidden", hidden, "hidden units")->check(CLI::Range(1, qv::TONE_MAX_HIDDEN));
    tr->add_option("--weight", weight, "share of the tone score in a syllable's score")->check(CLI::Range(0.0, 1.0));
    tr->add_option("--epochs", epochs, "full-batch steps")->check(CLI::Range(1, 100000));
    tr->add_option("--seed", seed, "initial weights");
    tr->add_option("--l2", l2, "weight penalty")->check(CLI::Range(0.0, 10.0));
    CLI::App* ev = app.add_subcommand("eval", "measure on feature files");
    ev->add_option("--model", model, "model file")->required();
    ev->add_option("--test", testList, "test feature files, comma-separated")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    try {
        if (*tr) {
            const std::vector<Sample> data = readFeatures(trainList);
            if (data.empty()) throw std::runtime_error("no training samples in " + trainList);
            qv::toneModelClass m = train(data, hidden, epochs, l2, seed);
            m.weight = weight;
            if (!devList.empty()) {
                const std::vector<Sample> dev = readFeatures(devList);
                double best = 1e30;
                float bestT = 1;
                for (float t = 0.4f; t <= 4.01f; t += 0.05f) {
                    m.temperature = t;
                    const double nll = meanNll(m, dev);
                    if (nll < best) best = nll, bestT = t;
                }
                m.temperature = bestT;
                printf("dev: %zu samples, temperature %.2f, nll %.3f\n", dev.size(), bestT, best);
            }
            printf("train: %zu samples, nll %.3f\n", data.size(), meanNll(m, data));
            writeModel(m, out);
        } else {
            qv::toneModelClass m;
            m.read(model);
            const std::vector<Sample> test = readFeatures(testList);
            int conf[5][5] = {};
            int right = 0;
            for (const Sample& s : test) {
                const auto p = m.posterior(s.x);
                const int heard = static_cast<int>(std::max_element(p.begin(), p.end()) - p.begin());
                conf[s.y][heard]++;
                right += heard == s.y;
            }
            printf("tone heard right: %d of %zu (%.1f %%)\n\n", right, test.size(),
                   test.empty() ? 0.0 : 100.0 * right / test.size());
            printf("| expected \\ heard | 1 | 2 | 3 | 4 | 5 |\n|---|---|---|---|---|---|\n");
            for (int y = 0; y < 5; ++y) {
                printf("| %d |", y + 1);
                for (int c = 0; c < 5; ++c) printf(" %d |", conf[y][c]);
                printf("\n");
            }
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "quorvane-tone: %s\n", e.what());
        return 1;
    }
    return 0;
}
