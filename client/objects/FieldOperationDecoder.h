// FieldOperationDecoder: turns "__op" dictionaries back into field operations (server echoes,
// persisted operation sets, the value decoders). One shared instance holds the table from
// operation name to decoding function.
//
// Thread-safety: the table is fixed after construction; decode() may run on any thread at once.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>

#include <keel/base/Value.h>
#include <keel/objects/FieldOperation.h>

namespace keel {

class Decoder;

class FieldOperationDecoder {
 public:
  using DecodingFunction = std::function<FieldOperationPtr(const Dictionary&, const Decoder&)>;

  static const FieldOperationDecoder& defaultDecoder();

  // Returns the operation `encoded` describes, its values decoded with `decoder`; nullptr for
  // one that changes nothing (a "Batch" of no operations, a relation change of no objects).
  // Throws InvalidArgumentException "Unable to decode operation of type %@." for an unknown
  // "__op" and for one whose amount, objects or ops are not what the operation takes, and
  // InternalInconsistencyException when the ops of a "Batch" cannot follow one another.
  FieldOperationPtr decode(const Dictionary& encoded, const Decoder& decoder) const;

 private:
  FieldOperationDecoder();
  std::unordered_map<std::string, DecodingFunction> table_;
};

}  // namespace keel
