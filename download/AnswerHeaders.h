// The header lines of an answer, read as they arrive: what they say about the body's framing, and
// what makes the answer unusable whatever library reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

class TAnswerHeaders {
public:
    // Takes one line, the status line or a header line, with or without its line end. A status
    // line starts a new answer (after an interim one). Returns why the answer must be refused, or
    // nullopt.
    std::optional<std::string> Take(std::string_view ALine);

    // The last status line taken, without its line end.
    const std::string& StatusLine() const { return FStatusLine; }
    // The body's length when the answer gave one.
    std::optional<std::int64_t> ContentLength() const { return FContentLength; }
    // Whether the body comes in chunks.
    bool Chunked() const { return FChunked; }
    // Whether the answer itself tells where its body ends, rather than the connection closing: by
    // its length, by its last chunk when the library reading it tells that from a cut between two
    // chunks (`ALastChunkIsTold`), or by a status that has no body.
    bool TellsTheBodysEnd(long AStatusCode, bool ALastChunkIsTold) const;

private:
    std::string FStatusLine;
    std::optional<std::int64_t> FContentLength;
    bool FChunked = false;
};

}  // namespace korvane
