// Reading a script's lines and parsing them into commands (script.h).
#include "script.h"

#include "common/text.h"
#include "tools/decimal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace script {

namespace {

const struct {
    const char *word;
    int code;
} kScrollCodes[] = {
    {"lineleft", kLineLeft}, {"lineright", kLineRight}, {"pageleft", kPageLeft},
    {"pageright", kPageRight}, {"left", kLeft}, {"right", kRight},
    {"endscroll", kEndScroll},
};

// By the tools' one rule for numbers (no '+', no spaces, 010 is ten).
int number(const std::string &word, const char *what, long lo, long hi)
{
    int64_t v;
    if (!tools::whole(word, lo, hi, &v)) {
        std::ostringstream m;
        m << what << " must be a whole number from " << lo << " to " << hi << ", not '" << excerpt(word)
          << "'";
        throw Error{m.str()};
    }
    return static_cast<int>(v);
}

void arity(const std::vector<std::string> &w, size_t n, const char *usage)
{
    if (w.size() != n + 1)
        throw Error{std::string("usage: ") + usage};
}

}  // namespace

Read read_line(std::istream &in, std::string *line)
{
    line->clear();
    char buf[kMaxLine + 1];
    in.getline(buf, sizeof buf);
    size_t got = static_cast<size_t>(in.gcount());
    if (in.bad())
        return Read::Failed;
    if (in.eof()) {  // the last line, without a line end
        line->assign(buf, got);
        return got ? Read::Line : Read::End;
    }
    if (in.fail()) {  // kMaxLine bytes and no line end yet
        line->assign(buf, got);
        in.clear();
        return Read::TooLong;
    }
    line->assign(buf, got - 1);  // got counts the '\n'
    return Read::Line;
}

int scroll_code(const std::string &word)
{
    for (const auto &c : kScrollCodes)
        if (word == c.word)
            return c.code;
    return -1;
}

bool parse(const std::string &line, Command *out)
{
    std::string text = line.substr(0, line.find('#'));
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string word; in >> word;)
        w.push_back(word);
    if (w.empty())
        return false;

    Command c;
    const std::string &verb = w[0];
    if (verb == "open") {
        if (w.size() < 2)
            throw Error{"usage: open NAME"};
        c.op = Op::Open;
        // A name may hold blanks: everything after the verb, trimmed.
        size_t from = text.find_first_not_of(" \t", text.find("open") + 4);
        size_t to = text.find_last_not_of(" \t\r\n");
        c.name = text.substr(from, to + 1 - from);
    } else if (verb == "click") {
        arity(w, 1, "click ID");
        c.op = Op::Click;
        c.id = number(w[1], "ID", INT_MIN, INT_MAX);
    } else if (verb == "key") {
        arity(w, 1, "key enter|escape|tab");
        c.op = Op::Key;
        if (w[1] == "enter")
            c.value = static_cast<int>(Key::Enter);
        else if (w[1] == "escape")
            c.value = static_cast<int>(Key::Escape);
        else if (w[1] == "tab")
            c.value = static_cast<int>(Key::Tab);
        else
            throw Error{"the key must be enter, escape or tab, not '" + excerpt(w[1]) + "'"};
    } else if (verb == "scroll") {
        arity(w, 2, "scroll ID lineleft|lineright|pageleft|pageright|left|right|endscroll");
        c.op = Op::Scroll;
        c.id = number(w[1], "ID", INT_MIN, INT_MAX);
        c.value = scroll_code(w[2]);
        if (c.value < 0)
            throw Error{"unknown scroll '" + excerpt(w[2]) +
                        "' (lineleft, lineright, pageleft, pageright, left, right or endscroll)"};
    } else if (verb == "drag") {
        arity(w, 2, "drag ID POS");
        c.op = Op::Drag;
        c.id = number(w[1], "ID", INT_MIN, INT_MAX);
        c.value = number(w[2], "POS", INT_MIN, INT_MAX);
    } else if (verb == "pin") {
        arity(w, 2, "pin N 0|1|release");
        c.op = Op::Pin;
        c.id = number(w[1], "the pin", 0, 63);
        if (w[2] == "release")
            c.value = -1;
        else if (w[2] == "0" || w[2] == "1")
            c.value = w[2] == "1";
        else
            throw Error{"the level must be 0, 1 or release, not '" + excerpt(w[2]) + "'"};
    } else if (verb == "board") {
        c.op = Op::Board;
        for (size_t i = 1; i < w.size(); ++i)
            c.name += (i > 1 ? " " : "") + w[i];
        bool known = false;
        for (const char *a : kBoardActions)
            known = known || c.name == a;
        if (!known)
            throw Error{"board takes unplug, plug, fault, hold on, hold off or handles, not '" +
                        excerpt(c.name) + "'"};
    } else if (verb == "wait") {
        arity(w, 1, "wait MS");
        c.op = Op::Wait;
        c.value = number(w[1], "MS", 0, 3600000);
    } else if (verb == "ok" || verb == "close" || verb == "show" || verb == "quit") {
        if (w.size() != 1)
            throw Error{verb + " takes nothing after it"};
        c.op = verb == "ok" ? Op::Ok : verb == "close" ? Op::Close : verb == "show" ? Op::Show
                                                                                      : Op::Quit;
    } else {
        throw Error{"unknown command '" + excerpt(verb) + "'"};
    }
    *out = c;
    return true;
}

int run_lines(std::istream &in, const char *program, const std::string &where,
              const std::function<void(const Command &, int line)> &run)
{
    int status = 0, number = 0;
    std::string line;
    Read got;
    while ((got = read_line(in, &line)) != Read::End && got != Read::Failed) {
        ++number;
        Command c;
        std::string why;
        try {
            if (got == Read::TooLong)
                throw Error{"the line is longer than " + std::to_string(kMaxLine) + " bytes: '" + excerpt(line) + "'"};
            if (!parse(line, &c))
                continue;
            run(c, number);
        } catch (const Error &e) {
            why = e.message;
            status = 2;
        } catch (const Stop &e) {
            why = e.message;
            status = e.status;
        }
        if (status)
            std::fprintf(stderr, "%s: %s:%d: %s\n", program, where.c_str(), number, why.c_str());
        if (status || c.op == Op::Quit)
            return status;
    }
    if (got == Read::Failed) {
        std::fprintf(stderr, "%s: %s: cannot read the script after line %d\n", program, where.c_str(), number);
        return 1;
    }
    return 0;
}

}  // namespace script
