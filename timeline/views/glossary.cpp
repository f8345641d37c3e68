// The glossary: one word for one thing, explained where a beginner meets
// it first.
#include "views/glossary.hpp"

#include <array>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/language.hpp"
#include "base/safe_text.hpp"

namespace timeline {

namespace {

// A term's forms, as one message lists them: "pipes; pipe".
std::array<std::string_view, 4> forms_of(std::string_view listed)
{
    std::array<std::string_view, 4> forms{};
    for (auto& form : forms) {
        size_t end = listed.find("; ");
        form = listed.substr(0, end);
        if (end == std::string_view::npos)
            break;
        listed.remove_prefix(end + 2);
    }
    return forms;
}

Term term(std::string_view id, const char* word, const char* forms, const char* meaning)
{
    return {id, word, forms_of(forms), meaning};
}

// The terms of descriptors and of what they are open on.
std::vector<Term> file_terms()
{
    return {
        term("fd", tr("file descriptor (fd)"),
             // TRANSLATORS: a term's forms are the ways the pages write it,
             // longest first, separated by "; ": each is linked where it
             // first stands as a word.
             tr_ctx("glossary forms", "file descriptor; descriptors; descriptor"),
             tr("A small number (0, 1, 2, 3, ...) by which a process names something it "
                "has open: a file, an end of a pipe, the terminal. Each process has a "
                "table of its own; fork copies the table, exec keeps it (but for the "
                "descriptors marked close-on-exec).")),
        term("description", tr("open file description"),
             tr_ctx("glossary forms", "open file description"),
             tr("What a descriptor points at: the open file itself, with its offset and "
                "its access mode. dup and fork make more descriptors that point at one "
                "description, which then share its offset.")),
        term("pipe", tr("pipe"), tr_ctx("glossary forms", "pipes; pipe"),
             tr("A one-way channel in the kernel, made by pipe(): bytes written into its "
                "write end come out at its read end, in order, once. It has no name: only "
                "the processes that hold its ends, given through fork, can use it. The "
                "tool names the pipes of a run A, B, C.")),
        term("ends", tr("read end, write end"), tr_ctx("glossary forms", "read end; write end"),
             tr("The two descriptors that pipe() returns: the first to read from, the "
                "second to write into.")),
        term("fifo", tr("FIFO"), tr_ctx("glossary forms", "FIFOs; FIFO"),
             tr("A pipe with a name in the file system (mkfifo): unrelated processes open "
                "it by its path. Opening one end waits until a process opens the other.")),
        term("end-of-data", tr("end of data"), tr_ctx("glossary forms", "end of data"),
             tr("A read that returns 0 from a pipe or a FIFO: every byte has been read "
                "and no process holds its write end any more. A reader that keeps a write "
                "end open itself never sees it.")),
        term("from-outside", tr("from outside"), tr_ctx("glossary forms", "from outside"),
             tr("Made before the traced run began: a descriptor the program was given as "
                "it started (by the shell that ran it), or a pipe that the run did not "
                "make. The trace never saw them made, so the tool knows only what the run "
                "did with them.")),
    };
}

// The terms of processes: their descriptors' marks, their ends, their
// signals, their waiting.
std::vector<Term> process_terms()
{
    return {
        term("close-on-exec", tr("close-on-exec"), tr_ctx("glossary forms", "close-on-exec"),
             tr("A mark on a descriptor (O_CLOEXEC, FD_CLOEXEC): exec closes it, so that "
                "the new program does not get it. fork copies the mark with the "
                "descriptor.")),
        term("zombie", tr("zombie"), tr_ctx("glossary forms", "zombies; zombie"),
             tr("A process that has ended but whose parent has not collected its status "
                "with wait(): it keeps its pid and a line in the process table (state Z), "
                "and nothing else.")),
        term("orphan", tr("orphan, adopted"), tr_ctx("glossary forms", "orphans; orphan; adopted"),
             tr("A process whose parent ended first. The kernel gives it a new parent, "
                "pid 1 or the nearest subreaper above it, which collects it when it ends.")),
        term("subreaper", tr("subreaper"), tr_ctx("glossary forms", "subreaper"),
             tr("A process that asked (prctl PR_SET_CHILD_SUBREAPER) to adopt the orphans "
                "among its descendants instead of pid 1. A desktop session's service "
                "manager is one: an orphan there is adopted by it.")),
        term("signal", tr("signal, handler"), tr_ctx("glossary forms", "signals; signal; handler"),
             tr("A notice the kernel delivers to a process: SIGCHLD when a child ends, "
                "SIGINT at Ctrl-C, SIGPIPE at a write into a pipe that no process reads. "
                "Each has a default action (end the process, stop it, ignore it); a "
                "handler is a function of the program's own that runs instead.")),
        term("waiting", tr("waiting, sleeping"), tr_ctx("glossary forms", "waiting; sleeping"),
             tr("Inside a call that cannot finish yet: a read of an empty pipe, a write "
                "into a full one, a wait for a child, a sleep. The process uses no "
                "processor until the kernel wakes it. family_watch says where it sleeps: "
                "the call, and in parentheses the kernel function it waits in (its wchan, "
                "in /proc/PID/wchan).")),
    };
}

} // namespace

std::vector<Term> glossary()
{
    std::vector<Term> terms = file_terms();
    std::vector<Term> more = process_terms();
    terms.insert(terms.end(), more.begin(), more.end());
    return terms;
}

std::string glossary_html()
{
    std::string html = "<section class=\"glossary\" id=\"glossary\">\n<h2>" +
                       std::string(tr("Glossary")) + "</h2>\n<dl>\n";
    for (const Term& t : glossary())
        html += "<dt id=\"term-" + std::string(t.id) + "\">" + escape_markup(t.word) +
                "</dt>\n<dd>" + escape_markup(t.meaning) + "</dd>\n";
    return html + "</dl>\n</section>\n";
}

namespace {

bool word_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}

// Whether a letter of the Latin-1 range in UTF-8 ("í", "ñ": 0xC3 and a
// byte of 0x80-0xBF) ends at `end` or starts at `at`: "tuberías" is no
// use of "tubería".
bool accented_before(std::string_view text, size_t end)
{
    return end >= 2 && static_cast<unsigned char>(text[end - 2]) == 0xC3;
}
bool accented_at(std::string_view text, size_t at)
{
    return at < text.size() && static_cast<unsigned char>(text[at]) == 0xC3;
}

// Where `form` first stands as a word of its own in `text` from `from`,
// written as it is or with a capital.
size_t find_word(std::string_view text, std::string_view form, size_t from)
{
    std::string capital(form);
    capital[0] = char(std::toupper(static_cast<unsigned char>(capital[0])));
    for (size_t at = from; at < text.size(); ++at) {
        size_t plain = text.find(form, at);
        size_t upper = text.find(capital, at);
        at = std::min(plain, upper);
        if (at == std::string_view::npos)
            return at;
        size_t end = at + form.size();
        bool before = at == 0 || (!word_char(text[at - 1]) && !accented_before(text, at));
        bool after = end >= text.size() || (!word_char(text[end]) && !accented_at(text, end));
        if (before && after)
            return at;
    }
    return std::string_view::npos;
}

// Running text with its first uses linked.
void link_text(std::string_view text, const std::vector<Term>& terms, std::string& out,
               std::set<std::string_view>& linked)
{
    size_t done = 0;
    for (;;) {
        const Term* first = nullptr;
        std::string_view form;
        size_t at = std::string_view::npos;
        for (const Term& t : terms) {
            if (linked.contains(t.id))
                continue;
            for (std::string_view f : t.forms)
                if (size_t found = f.empty() ? std::string_view::npos : find_word(text, f, done);
                    found < at) {
                    at = found;
                    first = &t;
                    form = f;
                }
        }
        if (first == nullptr)
            break;
        linked.insert(first->id);
        out.append(text.substr(done, at - done));
        out += "<a class=\"term\" href=\"#term-" + std::string(first->id) + "\">";
        out.append(text.substr(at, form.size()));
        out += "</a>";
        done = at + form.size();
    }
    out.append(text.substr(done));
}

// The element a tag opens ("script" for "<script type=...>"), "" for a
// closing tag, a comment or a declaration.
std::string_view opened(std::string_view tag)
{
    if (tag.size() < 2 || !std::isalpha(static_cast<unsigned char>(tag[1])))
        return {};
    size_t end = 1;
    while (end < tag.size() && std::isalnum(static_cast<unsigned char>(tag[end])) != 0)
        ++end;
    return tag.substr(1, end - 1);
}

bool left_alone(std::string_view element)
{
    for (std::string_view name :
         {"script", "style", "svg", "a", "title", "h1", "h2", "h3", "h4", "summary", "nav", "dl"})
        if (element == name)
            return true;
    return false;
}

} // namespace

std::string link_first_uses(const std::string& html, std::set<std::string_view>& linked)
{
    std::string out;
    out.reserve(html.size() + 1024);
    std::string_view rest = html;
    const std::vector<Term> terms = glossary();
    while (!rest.empty()) {
        size_t tag = rest.find('<');
        link_text(rest.substr(0, tag), terms, out, linked);
        if (tag == std::string_view::npos)
            break;
        size_t end = rest.find('>', tag);
        end = end == std::string_view::npos ? rest.size() : end + 1;
        std::string_view element = opened(rest.substr(tag, end - tag));
        // An element left alone is copied whole, to its closing tag.
        if (left_alone(element)) {
            std::string closing = "</" + std::string(element) + ">";
            size_t close = rest.find(closing, end);
            end = close == std::string_view::npos ? rest.size() : close + closing.size();
        }
        out.append(rest.substr(tag, end - tag));
        rest.remove_prefix(end);
    }
    return out;
}

} // namespace timeline
