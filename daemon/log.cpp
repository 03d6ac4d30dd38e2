#include "daemon/log.h"

#include <boost/filesystem.hpp>
#include <boost/format.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/trivial.hpp>
#include <boost/log/utility/exception_handler.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>
#include <boost/log/utility/setup/console.hpp>
#include <boost/log/utility/setup/file.hpp>
#include <boost/log/utility/setup/formatter_parser.hpp>
#include <boost/smart_ptr/weak_ptr.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iostream>
#include <locale>

namespace TarqSe::Daemon {
namespace {

namespace fs = boost::filesystem;
namespace logging = boost::log;
namespace keywords = boost::log::keywords;
namespace sinks = boost::log::sinks;

using FileSink = sinks::synchronous_sink<sinks::text_file_backend>;

constexpr std::uintmax_t rotation_size = 1048576;
constexpr unsigned int max_files = 10;

// The file backend rotates for ever on a record that alone reaches the rotation size, so a
// longer line is cut for the file output, with a note of how much is missing.
class FitIntoFile {
public:
    explicit FitIntoFile(logging::formatter line) : m_line(std::move(line)) {}

    void operator()(const logging::record_view& rec, logging::formatting_ostream& out) const {
        out.flush();
        std::string& text = *out.rdbuf()->storage();
        const std::size_t start = text.size();
        m_line(rec, out);
        out.flush();
        const std::size_t length = text.size() - start;
        if (length < rotation_size)
            return;
        // The count can only shrink once the line is cut, so its width here is enough room.
        const std::size_t room = std::to_string(length).size() + sizeof("... [ bytes cut]") - 1;
        std::size_t keep = rotation_size - 1 - room;
        // Never leave half a UTF-8 sequence before the note.
        while (keep > 0 && (static_cast<unsigned char>(text[start + keep]) & 0xC0) == 0x80)
            --keep;
        text.resize(start + keep);
        text += (boost::format("... [%1% bytes cut]") % (length - keep)).str();
    }

private:
    logging::formatter m_line;
};

// A failed opening leaves the backend's stream failed without a file name, so its next record
// would try to create the directory "" instead of opening a file. The file output's exception
// handler only notes the failure (locking the backend there would invert the sink's lock
// order); the next record function resets the stream first, so that record opens a new file.
std::atomic<bool> file_output_failed{false};
boost::weak_ptr<FileSink> file_sink;

void repairFileOutput() {
    if (!file_output_failed.load(std::memory_order_relaxed) || !file_output_failed.exchange(false))
        return;
    if (const auto sink = file_sink.lock()) {
        const auto backend = sink->locked_backend();
        if (backend->get_current_file_name().empty())
            backend->rotate_file();
    }
}

void createDirectory(const fs::path& directory) {
    if (!fs::exists(fs::status(directory)))
        fs::create_directories(directory);
}

void addFileOutput(const std::string& directory, const std::string& format) {
    const auto sink = logging::add_file_log(
        keywords::file_name = directory + "/%Y-%m-%d--%H-%M-%S.%N.tarq-daemon.log",
        keywords::rotation_size = rotation_size, keywords::max_files = max_files,
        keywords::format = FitIntoFile(logging::parse_formatter(format)),
        keywords::auto_flush = true, keywords::target = directory);
    sink->locked_backend()->set_auto_newline_mode(sinks::auto_newline_mode::always_insert);
    sink->set_exception_handler([]() noexcept { file_output_failed.store(true); });
    file_sink = sink;
}

// Why the last set-up turned the file output off; written right after the start banner.
std::string set_up_failure;

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7F;
}

// A record is always exactly one line, whatever text a client sent: control characters other
// than tab are written escaped.
std::string escapeControls(std::string text) {
    if (std::none_of(text.begin(), text.end(), isControl))
        return text;
    std::string escaped;
    escaped.reserve(text.size() + 16);
    const char* const hex = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (isControl(c)) {
            escaped += "\\x";
            escaped += hex[byte >> 4];
            escaped += hex[byte & 0x0F];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string recordText(const std::string& objectName, const std::string& message) {
    return escapeControls((boost::format("%1%: %2%") % objectName % message).str());
}

// The set-up calls that can only throw; returns why the step failed, or nothing.
template <typename Step> std::string failureOf(Step step) {
    try {
        step();
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

} // namespace

void Log::initialize() {
    initializeIn(path());
}

void Log::initializePath() {
    createDirectory(path());
}

void Log::initializeIn(const std::string& directory) {
    fs::path::imbue(std::locale::classic());
    std::string fileFailure = failureOf([&] { createDirectory(directory); });

    static const std::string COMMON_FMT = "[%TimeStamp%][%Severity%]:  %Message%";
    logging::register_simple_formatter_factory<logging::trivial::severity_level, char>("Severity");
    const auto console = logging::add_console_log(std::cout, keywords::format = COMMON_FMT,
                                                  keywords::auto_flush = true);
    // Every record gets its own line feed, also one whose message already ends in one.
    console->locked_backend()->set_auto_newline_mode(sinks::auto_newline_mode::always_insert);

    if (fileFailure.empty())
        fileFailure = failureOf([&] { addFileOutput(directory, COMMON_FMT); });

    logging::add_common_attributes();
    const auto core = logging::core::get();
    core->set_filter(logging::trivial::severity >= logging::trivial::info);
    // Whatever a sink still throws stays inside the logging: no log call may fail its caller.
    core->set_exception_handler(logging::make_exception_suppressor());
    // Built or filled lazily on first use, so done now, while only this thread runs: the
    // process-wide logger, and the narrowing cache of the character type that Boost.Format uses.
    logging::trivial::logger::get();
    const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
    for (int c = 0; c < 256; ++c)
        ctype.narrow(static_cast<char>(c), '\0');

    set_up_failure = fileFailure;
}

void Log::reportInitializationFailure() {
    if (!set_up_failure.empty())
        errorMsg("Log", (boost::format("File logging is off: %1%") % set_up_failure).str());
}

void Log::infoMsg(const std::string& objectName, const std::string& message) {
    repairFileOutput();
    BOOST_LOG_TRIVIAL(info) << recordText(objectName, message);
}

void Log::errorMsg(const std::string& objectName, const std::string& message) {
    repairFileOutput();
    BOOST_LOG_TRIVIAL(error) << recordText(objectName, message);
}

std::string Log::path() {
    return "/var/log/TARQ";
}
} // namespace TarqSe::Daemon
