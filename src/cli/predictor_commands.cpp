// The advisor and the cost predictor: advise, train, predict, report.
//
// A command that fails throws std::runtime_error; main prints it as one line
// on stderr and exits 1. Bad arguments are CLI11 parse errors (exit 2).
#include "cli/commands.hpp"
#include "cli/output.hpp"

#include "tokentally/insight/advisor.hpp"
#include "tokentally/insight/predictor.hpp"

#include <fmt/format.h>

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

namespace tokentally::cli {

namespace {

void _add_advise(CLI::App& app) {
    struct Options {
        double hours = advisor::DEFAULT_HOURS;
        bool json = false;
    };
    auto opts = std::make_shared<Options>();
    auto* cmd = app.add_subcommand("advise", "Suggest cheaper models, with the saving on recent traffic");
    cmd->add_option("--hours", opts->hours, "Look-back window in hours")->capture_default_str();
    cmd->add_flag("--json", opts->json, "Print the suggestions as a JSON array");
    cmd->callback([opts] {
        auto store = open_store();
        if (opts->json)
            print_json(advisor::get_suggestions(*store, opts->hours));
        else
            advisor::print_suggestions(*store, opts->hours);
    });
}

void _add_train(CLI::App& app) {
    auto* cmd = app.add_subcommand("train", "Train the cost predictor on the ledger's priced calls");
    cmd->callback([] {
        // The reason (too few rows, no ledger, a failure) is already logged.
        if (!predictor::train(*open_store())) throw std::runtime_error("no model bundle was written");
    });
}

void _add_predict(CLI::App& app) {
    struct Options {
        std::string model;
        std::string tag = "default";
        double ts = 0;
        std::string prompt;
        bool json = false;
    };
    auto opts = std::make_shared<Options>();
    auto* cmd = app.add_subcommand("predict", "Predict the cost of sending PROMPT to a model");
    cmd->add_option("--model", opts->model, "Model id, e.g. openai/gpt-4o")->required();
    cmd->add_option("--tag", opts->tag, "Project tag")->capture_default_str();
    cmd->add_option("--ts", opts->ts, "Time of the call, Unix seconds (default: now)");
    cmd->add_option("PROMPT", opts->prompt, "The prompt text")->required();
    cmd->add_flag("--json", opts->json, "Print the cost as a JSON number");
    cmd->callback([opts] {
        if (!predictor::model_info()) throw std::runtime_error("no trained model found. Run: tokentally train");
        auto cost = predictor::predict(opts->model, opts->prompt, opts->tag, opts->ts);
        if (!cost) throw std::runtime_error("prediction failed (see the log above)");
        if (opts->json)
            print_json(*cost);
        else
            std::cout << fmt::format("${:.6f}\n", *cost);
    });
}

void _add_report(CLI::App& app) {
    auto json = std::make_shared<bool>(false);
    auto* cmd = app.add_subcommand("report", "Show the cost predictor's quality figures and feature importances");
    cmd->add_flag("--json", *json, "Print the model summary as a JSON object (null without a model)");
    cmd->callback([json] {
        if (!*json) return predictor::prediction_report();
        auto info = predictor::model_info();
        print_json(info ? boost::json::value(*info) : boost::json::value(nullptr));
    });
}

}  // namespace

void add_predictor_commands(CLI::App& app) {
    _add_advise(app);
    _add_train(app);
    _add_predict(app);
    _add_report(app);
}

}  // namespace tokentally::cli
