// Path and name helpers of the standalone host, in one place.
#pragma once

#include <string>
#include <string_view>

namespace thmexport {

// The last part of a path ("b.thm" of "a/b.thm").
std::string FileName(const std::string& path);
// The folder a path names its file in: "." for a bare name, "/" at the root.
std::string ParentFolder(const std::string& path);
// The file name's extension without the dot; "" for none or a leading dot only.
std::string Extension(const std::string& path);
bool IsFolder(const std::string& path);

bool EqualNoCase(std::string_view a, std::string_view b);
bool EndsWithNoCase(std::string_view s, std::string_view suffix);

// Text from a model or a child process, safe for a terminal: control
// characters (but line breaks where `lines`) become \xNN.
std::string Printable(std::string_view text, bool lines = false);

// A file name Make cannot read in a rule, whatever the escaping: one with a
// line break or another control character. And the words that say so.
bool MakeCannotRead(const std::string& path);
std::string MakeCannotReadWhy(const std::string& path);

// Scene documents are read by our loader; everything else goes to the importer.
bool IsSceneDocument(const std::string& path);
// "demo.scene.json" -> "demo.thm": the output named after its input.
// With `keepExtension` the whole file name stays: "duck.dae" -> "duck.dae.thm".
std::string OutputName(const std::string& input, bool keepExtension = false);

}  // namespace thmexport
