// ObjectService: creates, updates, fetches and deletes objects. It validates field names and
// special values, applies every field operation ("__op") to the stored value, enforces that a
// field keeps the type it was first stored with (code 111), keeps relation membership in the
// Store, and adds the rules of the installation class ("_Installation").
//
// Thread-safety: one per request, on the thread that holds the connection's lease; the caller
// wraps each request in a transaction, so a request that throws ApiError leaves nothing behind.
#pragma once

#include <boost/json.hpp>

#include <optional>
#include <string>

#include "server/QueryEngine.h"
#include "server/Store.h"

namespace keel::server {

struct WriteResult {
  int status = 200;
  json::object body;
};

class ObjectService {
 public:
  ObjectService(StoreConnection& store, QueryEngine& queries) : store_(store), queries_(queries) {}

  // Creates an object: 201 with "objectId" and "createdAt" (an installation whose
  // "installationId" is known updates that one instead: 200).
  WriteResult create(const std::string& className, const json::object& body);
  // Updates an object: "updatedAt" plus the values that operations computed on the server.
  WriteResult update(const std::string& className, const std::string& objectId, const json::object& body);
  // Returns the object's rendered form; 101 when it does not exist.
  json::object fetch(const std::string& className, const std::string& objectId, const json::object& params);
  // Deletes an object; 101 when it does not exist. Installations need the master key.
  void remove(const std::string& className, const std::string& objectId, bool masterKey);

  // Inserts or replaces an object with a known id (the seed loader's path); the body is
  // validated like a create.
  void upsert(const std::string& className, const std::string& objectId, const json::object& body);

  // Throws 103 unless the class name may be used through the REST paths.
  static void checkClassName(const std::string& className);

 private:
  // Applies the body's entries to `object`; returns the server-computed values to echo.
  json::object applyBody(StoredObject& object, const json::object& body, bool isCreate);
  void applyOperation(StoredObject& object, const std::string& key, const json::object& op, json::object& echo);
  void checkType(const std::string& className, const std::string& key, const json::value& value);
  std::string newObjectId(const std::string& className);
  // Throws unless the engine's caller may change `object` (101 when it is missing or closed to
  // them; 206 for another user's row).
  void checkWritable(const std::string& className, const std::optional<StoredObject>& object);
  void prepareInstallation(StoredObject* existing, json::object& body, bool isCreate);

  StoreConnection& store_;
  QueryEngine& queries_;
};

}  // namespace keel::server
