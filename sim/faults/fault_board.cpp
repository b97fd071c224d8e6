#include "faults/fault_board.h"

#include <cerrno>
#include <sstream>
#include <system_error>

#include "json.h"
#include "model/satellite.h"

namespace kelvex::sim {
namespace {

std::vector<std::string> split(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

// Sources end up in a CSV cell and in answers: one plain word.
bool plain_word(const std::string& s)
{
    if (s.empty() || s.size() > 32) {
        return false;
    }
    for (const char c : s) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

std::string time_text(double t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", t);
    return text;
}

}  // namespace

FaultBoard::FaultBoard(Satellite& sat, const std::string& events_path) : sat_(sat)
{
    if (events_path.empty()) {
        return;
    }
    events_.reset(std::fopen(events_path.c_str(), "w"));
    if (!events_) {
        throw std::system_error(errno, std::generic_category(), events_path);
    }
    std::fputs("t,source,action,name,unit,value\n", events_.get());
    std::fflush(events_.get());
}

double FaultBoard::now() const { return sat_.physics.time(); }

void FaultBoard::event(const char* action, const FaultKind& kind, int unit, const std::string& value,
                       const std::string& source)
{
    if (events_) {
        std::fprintf(events_.get(), "%s,%s,%s,%s,%d,%s\n", time_text(now()).c_str(), source.c_str(), action,
                     kind.name, unit, value.c_str());
        std::fflush(events_.get());
    }
}

void FaultBoard::switch_on(const FaultSwitch& request, const std::string& source)
{
    const double value = request.has_value ? request.value : request.kind->fallback;
    const bool has_value = request.kind->value != ValueUse::none;
    const Key key{request.kind, request.unit};
    // A stuck unit keeps the reading it first froze at.
    if (active_.count(key) == 0 || has_value) {
        request.kind->apply(sat_, request.unit, true, value);
    }
    Active& a = active_[key];
    if (a.source.empty()) {
        a.since = now();
    }
    a.value = value;
    a.has_value = has_value;
    a.source = source;
    event("fault", *request.kind, request.unit, has_value ? json_number(value) : "", source);
}

bool FaultBoard::switch_off(const FaultKind& kind, int unit, const std::string& source)
{
    if (active_.erase({&kind, unit}) == 0) {
        return false;
    }
    kind.apply(sat_, unit, false, 0);
    event("clear", kind, unit, "", source);
    return true;
}

std::string FaultBoard::on_fault(const std::vector<std::string>& words, bool on)
{
    if (words.size() < 2) {
        return std::string("error ") + words[0] + " needs a fault name";
    }
    const FaultKind* kind = find_fault(words[1]);
    if (kind == nullptr) {
        return "error unknown fault '" + words[1] + "' (list gives the known ones)";
    }
    std::map<std::string, std::string> args{{"unit", ""}, {"value", ""}, {"source", "control"}};
    for (size_t i = 2; i < words.size(); ++i) {
        const size_t eq = words[i].find('=');
        const std::string key = words[i].substr(0, eq);
        if (eq == std::string::npos || args.count(key) == 0 || (!on && key == "value")) {
            return "error unexpected '" + words[i] + "' (" + (on ? "unit=N value=X source=S" : "unit=N source=S") + ")";
        }
        args[key] = words[i].substr(eq + 1);
    }
    if (!plain_word(args["source"])) {
        return "error bad source '" + args["source"] + "' (letters, digits, - and _)";
    }
    FaultSwitch request;
    std::string error;
    if (!check_fault(*kind, args["unit"], args["value"], request, error, on)) {
        return "error " + error;
    }
    if (on) {
        switch_on(request, args["source"]);
    } else if (!switch_off(*kind, request.unit, args["source"])) {
        return "error " + words[1] + " unit " + std::to_string(request.unit) + " is not on";
    }
    return "ok t=" + time_text(now());
}

std::string FaultBoard::list_block() const { return faults_text() + "end"; }

std::string FaultBoard::active_block() const
{
    std::string out;
    for (const auto& [key, a] : active_) {
        out += std::string("name=") + key.first->name + " unit=" + std::to_string(key.second) +
               " value=" + (a.has_value ? json_number(a.value) : "") + " since=" + time_text(a.since) +
               " source=" + a.source + "\n";
    }
    return out + "end";
}

std::string FaultBoard::command(const std::string& line)
{
    const std::vector<std::string> words = split(line);
    std::string answer;
    if (words.empty()) {
        answer = "error empty command (fault, clear, list or active)";
    } else if (words[0] == "fault" || words[0] == "clear") {
        answer = on_fault(words, words[0] == "fault");
    } else if (words[0] == "list" && words.size() == 1) {
        answer = list_block();
    } else if (words[0] == "active" && words.size() == 1) {
        answer = active_block();
    } else {
        answer = "error unknown command '" + line.substr(0, 64) + "' (fault, clear, list or active)";
    }
    return answer + "\n";
}

}  // namespace kelvex::sim
