// Reader of the X file format: a header ("xof 0302txt 0032" and the like)
// followed by data objects in text, binary or compressed binary form.
//
// The reader does not interpret templates: every data object becomes a
// record of its template name, its own name and identifier, the numbers
// and strings it holds in file order (separators dropped, integers and
// floats alike as doubles) and its nested objects and references in file
// order. The loaders of meshes and hierarchies read the records of the
// templates they know and ignore the rest.
//
// Text files are read as their writers wrote them, within reason: a name
// may be all digits ("Frame 01"), the words that some C runtimes print for
// non-finite floats ("1.#INF00", "-1.#IND00", "1.#QNAN0") read as
// infinities and NaNs, and a closing brace between top-level objects that
// closes nothing is skipped.
//
// Malformed input of any kind is refused with a message; nothing is read
// outside the given bytes, nesting is bounded and no count read from the
// file allocates more than the file can fill.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace xfile {

struct Object {
  std::string type;  // template name; empty for a reference
  std::string name;  // object name, or the referenced name
  // The object's own identifier, or the one a reference gives: lower-case
  // hexadecimal digits in groups of 8-4-4-4-12 joined by '-'; empty when
  // there is none.
  std::string uuid;
  std::vector<double> numbers;
  std::vector<std::string> strings;
  std::vector<Object> children;  // nested objects and references, in file order

  bool isReference() const { return type.empty(); }
};

struct Document {
  std::vector<Object> objects;  // top-level data objects in file order
  // Every object (references left out) under its name and under its
  // identifier, depth first in file order; `parse` fills them. They point
  // into `objects`: a document moves but is not copied.
  std::unordered_map<std::string, std::vector<const Object*>> byName, byUuid;

  Document() = default;
  Document(Document&&) = default;
  Document& operator=(Document&&) = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
};

// Decodes the whole file. On failure `error` tells why and `out` holds what
// was read before the fault.
bool parse(const void* data, std::size_t size, Document& out, std::string& error);

// The first object named `name` in the document, searched depth first; null
// when there is none.
const Object* findNamed(const Document& document, const std::string& name);
// The same, among the objects of one template only (the template name
// compared without regard to case): a frame and the mesh inside it often
// share a name.
const Object* findNamed(const Document& document, const std::string& name, const char* type);

// The object a reference stands for: the first object with its name, or,
// for a reference without a name (or whose name matches nothing), the first
// with its identifier; only among objects of `type` (compared without regard
// to case) unless that is null. Null when nothing matches.
const Object* findReferenced(const Document& document, const Object& reference, const char* type);

// Nested objects of one template, references resolved through `document`
// (a reference that names nothing is skipped).
std::vector<const Object*> childrenOfType(const Document& document, const Object& parent,
                                          const std::string& type);

}  // namespace xfile
