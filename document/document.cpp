#include "document/document.h"

#include <algorithm>
#include <unordered_set>

#include "document/deep_stack.h"
#include "document/loader.h"

namespace scene {

namespace {

using namespace doc;

// Brackets deeper than this are read on a stack of their own.
constexpr size_t kShallowNesting = 64;

// The deepest nesting of brackets outside strings.
size_t NestingDepth(std::string_view t) {
  size_t depth = 0, deepest = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '"') {
      for (++i; i < t.size() && t[i] != '"'; ++i)
        if (t[i] == '\\') ++i;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth) {
      --depth;
    }
  }
  return deepest;
}

std::unique_ptr<Scene> Parse(const json::Text& text, const std::string& file) {
  Reader r(file);
  auto s = std::make_unique<Scene>();
  // Node trees are read by recursion, as deep as kMaxNodeDepth: a deeply
  // nested text gets a stack of its own (a thread per parse costs more than
  // the parse of a small document).
  const auto parse = [&] {
    // Outside the try: the path may still name keys in the parser's buffer
    // when a syntax fault is explained.
    sj::parser parser;
    try {
      const simdjson::padded_string_view view = text.View();
      if (auto e = parser.allocate(view.size() ? view.size() : 1, kMaxJsonDepth)) throw SyntaxFault{e};
      sj::document doc;
      if (auto e = parser.iterate(view).get(doc)) throw SyntaxFault{e};
      Loader(r, *s, text).Load(doc);
    } catch (const SyntaxFault& f) {
      r.Explain(text.Chars(), f.code);
    }
  };
  // Large texts always: there the thread costs nothing beside the parse.
  const std::string_view chars = text.Chars();
  if (chars.size() > (size_t(1) << 20) || NestingDepth(chars) > kShallowNesting)
    OnDeepStack(parse);
  else
    parse();
  return s;
}

}  // namespace

std::unique_ptr<Scene> ParseDocument(std::string_view text, const std::string& file) {
  return Parse(json::Text(text), file);
}

std::vector<NodeNotes> LoadNoteKeys(const std::string& path) {
  const json::Text text = json::Text::Load(path);
  Reader r(path);
  std::vector<NodeNotes> out;
  try {
    sj::parser parser;
    sj::document doc;
    if (auto e = parser.iterate(text.View()).get(doc)) throw SyntaxFault{e};
    const sj::json_type t = r.Get(doc.type());
    r.Expect(t == sj::json_type::object, "an object of note keys by node name", t);
    std::unordered_set<std::string_view> seen;
    for (auto entry : r.Get(doc.get_object())) {
      sj::field f = r.Get(std::move(entry));
      const std::string_view name = r.Get(f.unescaped_key());
      if (!seen.insert(name).second) r.FailAt(r.path.Child(name), "key appears more than once in its object");
      Step s(r.path, name);
      NodeNotes node{std::string(name), {}};
      size_t i = 0;
      for (auto k : r.Array(f.value(), "an array of [ticks, \"text\"] keys")) {
        sj::value key = r.Get(std::move(k));
        Step sk(r.path, i++);
        sj::array pair = r.Array(key, "a key [ticks, \"text\"]");
        if (r.Count(pair) != 2) r.Expect(false, "a key [ticks, \"text\"]", sj::json_type::array);
        NoteKey note;
        size_t c = 0;
        for (auto x : pair) {
          sj::value v = r.Get(std::move(x));
          Step sc(r.path, c);
          if (c++ == 0)
            note.time = r.Int32(v);
          else
            note.note = CStr(std::string(r.String(v)));
        }
        node.keys.push_back(std::move(note));
      }
      out.push_back(std::move(node));
    }
    const char* rest;
    if (doc.current_location().get(rest) == simdjson::SUCCESS) throw SyntaxFault{simdjson::TRAILING_CONTENT};
  } catch (const SyntaxFault& f) {
    r.Explain(text.Chars(), f.code);
  }
  return out;
}

std::unique_ptr<Scene> LoadDocument(const std::string& path) {
  // The text and the parser's indexes go before the scene is handed out.
  return Parse(json::Text::Load(path), path);
}

}  // namespace scene
