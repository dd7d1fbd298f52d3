// ACL: who may read and who may write one backend object. It travels as its permissions
// dictionary, principal -> {"read": true, "write": true} with only granted kinds stored
// ("*" is the public, "role:" + name a role, otherwise a user's object id).
//
// For now the list is built from and written as that dictionary; access by user, role and the
// shared default list grow on this class later, so its state is kept whole in one place.
//
// Thread-safety: not locked; an ACL is used under its owning object's lock, like any field value.
#pragma once

#include <memory>
#include <string>

#include <keel/base/Value.h>

namespace keel {

class ACL : public ValueReference {
 public:
  static constexpr ReferenceKind kReferenceKind = ReferenceKind::ACL;
  using ReferenceKindRoot = ACL;

  // An empty list: nobody but the master key may read or write.
  ACL();

  // Returns an empty list.
  static std::shared_ptr<ACL> acl();
  // Returns the list a permissions dictionary describes: for every principal, every kind with
  // a true value is granted; false values and entries that are not dictionaries are ignored.
  static std::shared_ptr<ACL> ACLWithDictionary(const Dictionary& dictionary);

  // Returns the permissions dictionary, the list's JSON form.
  const Dictionary& permissions() const { return permissions_; }
  // Returns a new list with the same permissions.
  std::shared_ptr<ACL> copy() const;

  bool isShared() const { return shared_; }
  void setShared(bool shared) { shared_ = shared; }

  std::string className() const override { return "ACL"; }
  // Equal when both grant the same access.
  bool isEqual(const ValueReference& other) const override;
  std::size_t hash() const override;
  std::string description() const override;

 private:
  Dictionary permissions_;
  bool shared_ = false;
};

}  // namespace keel
