// The one translation of core failures into velko's contract: each fixed text the contract
// shows for a failure is composed here from the failure's facts.
#include <cstdio>
#include <string>

#include "hmmer/tophit_file.hpp"
#include "util/quote_path.hpp"
#include "velko/boundary.hpp"
#include "velko/messages.hpp"

namespace velko::py {
namespace {

// What the top-hit file's failures say before the system's error, by the step that failed.
std::string_view tophit_step(util::FileStep step) {
    switch (step) {
        case util::FileStep::kCreateDirectory:
            return "Cannot create directory!";
        case util::FileStep::kCreateFile:
            return "Cannot create file!";
        case util::FileStep::kWrite:
            return "Cannot write to file!";
        case util::FileStep::kRead:
        case util::FileStep::kNone:
            break;
    }
    return "Cannot read file!";
}

std::string tophit_text(const util::Failure& failure) {
    switch (failure.kind) {
        case util::FailureKind::kOs: {
            std::string text(tophit_step(failure.step));
            text += ": ";
            text += failure.os_error == 0 ? std::string(kNulByteInDataDebug)
                                          : util::os_error_debug(failure.os_error);
            return text;
        }
        case util::FailureKind::kFormat:
            switch (static_cast<hmmer::TopHitFault>(failure.fault)) {
                case hmmer::TopHitFault::kNotUtf8:
                    return "Cannot read file!: Error { kind: InvalidData, message: \"stream did "
                           "not contain valid UTF-8\" }";
                case hmmer::TopHitFault::kBadNumber:
                    return std::string(kErrUnwrap) + ": " +
                           std::string(util::describe(failure.number));
                case hmmer::TopHitFault::kNoTab:
                case hmmer::TopHitFault::kNoComma:
                case hmmer::TopHitFault::kNoBitScore:
                    break;
            }
            return std::string(kNoneUnwrap);
        default:
            return failure.reason;
    }
}

// A FASTA file that could not be read, with the cause as the reader words it.
std::string fasta_text(const util::Failure& failure) {
    std::string text(kErrUnwrap);
    text += ": Failed to read fasta from ";
    text += util::quote_path(failure.path);
    text += "\n\nCaused by:\n    ";
    if (failure.kind == util::FailureKind::kOs) {
        text += failure.os_error == 0 ? std::string(kNulByteInData)
                                      : util::os_error_text(failure.os_error);
    } else {
        text += failure.reason;
    }
    return text;
}

std::string contract_text(const util::Failure& failure) {
    switch (failure.kind) {
        case util::FailureKind::kAbort:
            return failure.reason;
        // A window that is not a k-mer: the contract shows the bare unwrap of its index.
        case util::FailureKind::kInvalidBase:
            return std::string(kNoneUnwrap);
        default:
            break;
    }
    switch (failure.file) {
        case util::FileKind::kFasta:
            return fasta_text(failure);
        case util::FileKind::kTopHitFile:
            return tophit_text(failure);
        case util::FileKind::kHmmerTable:
        case util::FileKind::kNone:
            break;
    }
    return failure.what();
}

// The source position is shown from the project's own tree, whatever directory built it.
std::string_view short_file(std::string_view file) {
    const auto at = file.rfind("/src/");
    return at == std::string_view::npos ? file : file.substr(at + 1);
}

}  // namespace

void write_diagnostic(std::string_view message, util::SourceLocation where) noexcept {
    const auto file = short_file(where.file);
    std::fprintf(stderr, "velko: internal abort at %.*s:%u: %.*s\n", static_cast<int>(file.size()),
                 file.data(), where.line, static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void fail(std::string_view message, util::SourceLocation where) {
    throw util::Failure({.reason = std::string(message)}, where);
}

void raise_contract_error(const util::Failure& failure) noexcept {
    try {
        const std::string text = contract_text(failure);
        if (failure.origin.line != 0) write_diagnostic(text, failure.origin);
        raise_panic(text);
    } catch (const std::bad_alloc&) {
        raise_no_memory();
    }
}

}  // namespace velko::py
