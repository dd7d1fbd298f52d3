// ObjectFileLayout: the JSON form of a current-object file (the current installation, the
// current user) and the reader that turns any layout the library ever wrote into one plain
// description of the object, ObjectFileContents.
//
// The layout written today:
//   {"classname": "<class>", "data": {"objectId": ..., "createdAt": "<date text>",
//                                     "updatedAt": "<date text>", <field>: <encoded value>...}}
// Older builds wrote "className" instead of "classname", the id as a top-level "id", the dates
// as top-level "created_at" / "updated_at", related objects as a top-level "pointers" dictionary
// of [class name, object id] pairs, and a user's session token and linked-service data as
// top-level "session_token"/"sessionToken" and "auth_data"/"authData". Some wrote no "data" at
// all. Where both an old and a new form are present the new one wins.
//
// What the reader refuses, and what it only drops:
//  - The file is damaged (and contentsFromData returns no value with the reason) when it is not
//    JSON, not a JSON object, has no non-empty class name, or has a "data" that is not an
//    object. Nothing sensible can be made of such a file.
//  - A single entry of the wrong type (an id that is not text, a pointer that is not a pair of
//    non-empty texts, "pointers" that is not an object) is dropped with a warning and the rest
//    is kept: losing the current user over one bad pointer would sign the user out.
//
// Fields stay in their encoded JSON form (pointers as {"__type": "Pointer", ...} values), so
// reading a file never makes objects; the object coder decodes them with the decoder it is
// given.
//
// Thread-safety: plain functions and a plain value; safe from any thread.
#pragma once

#include <optional>
#include <string>

#include <keel/base/Value.h>

namespace keel {

// One current object as its file describes it, whatever the file's layout.
struct ObjectFileContents {
  std::string className;
  std::optional<std::string> objectId;
  // The dates as their text was stored (parse them with the shared date formatter).
  std::optional<std::string> createdAt;
  std::optional<std::string> updatedAt;
  // The server-data fields, still encoded, without "objectId", "createdAt" and "updatedAt".
  // Entries of an old "pointers" dictionary are here as pointer values, over any field of the
  // same name.
  Dictionary fields;
  // A user's session token and linked-service data ({provider: data or null}), still encoded;
  // only old layouts keep them outside "data".
  std::optional<std::string> sessionToken;
  std::optional<Dictionary> authData;

  bool operator==(const ObjectFileContents&) const = default;
};

class ObjectFileLayout {
 public:
  // Returns what the file's bytes describe, or no value with the reason in `failure` when the
  // file is damaged.
  static std::optional<ObjectFileContents> contentsFromData(const Bytes& data, std::string& failure);
  // The same for a parsed document.
  static std::optional<ObjectFileContents> contentsFromDocument(const Value& document, std::string& failure);

  // Returns the document of the current layout for a class and the state's dictionary form
  // (ids, date texts and encoded fields, as the object state writes it).
  static Value documentWithClassName(const std::string& className, Dictionary data);
  // Returns the document of the current layout that reads back as `contents` (a user's
  // top-level extras are not written: the current layout keeps them in "data").
  static Value documentFromContents(const ObjectFileContents& contents);
};

}  // namespace keel
