// A mock embedding server for the semantic cache's tests: Ollama's
// /api/embed and OpenAI's /v1/embeddings, answering each text with a vector
// fixed in advance, so that the similarity of two texts is chosen by the
// test. Header-only.
#pragma once

#include "support/mock_server.hpp"

#include <boost/json.hpp>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tt_test {

inline constexpr std::size_t EMBEDDING_DIMS = 768;

// A unit vector whose cosine with axis `a` is `cos`, the rest lying on axis
// `b`: two such vectors on the same `a` and different `b` have a cosine of
// cos² with each other.
inline std::vector<float> at_cosine(std::size_t a, std::size_t b, double cos) {
    std::vector<float> v(EMBEDDING_DIMS, 0.0f);
    v[a] = static_cast<float>(cos);
    v[b] += static_cast<float>(std::sqrt(1 - cos * cos));
    return v;
}

inline std::vector<float> axis(std::size_t a) { return at_cosine(a, a, 1.0); }

// The script of the server. A text not in `vectors` gets an axis of its own
// from its hash (far from every axis below 100, which the tests use); the
// server answers in the shape of the path it was called on.
inline MockServer::Script embedding_script(std::map<std::string, std::vector<float>> vectors,
                                           std::string prefix = "search_query: ") {
    return [vectors = std::move(vectors), prefix = std::move(prefix)](const Received& r) {
        MockReply reply;
        auto body = boost::json::parse(r.body).as_object();
        std::string text(body.at("input").as_string());
        if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
        auto it = vectors.find(text);
        std::vector<float> v = it != vectors.end() ? it->second : axis(100 + std::hash<std::string>{}(text) % 600);
        boost::json::array numbers(v.begin(), v.end());
        boost::json::object answer;
        if (r.target == "/v1/embeddings")
            answer = {{"object", "list"},
                      {"data", boost::json::array{{{"object", "embedding"}, {"index", 0}, {"embedding", numbers}}}},
                      {"model", body.at("model")}};
        else
            answer = {{"model", body.at("model")}, {"embeddings", boost::json::array{numbers}}};
        reply.body = boost::json::serialize(answer);
        return reply;
    };
}

}  // namespace tt_test
