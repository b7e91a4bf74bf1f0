#include "world/role.h"

namespace world {

namespace {

constexpr RoleTraits kRoles[] = {
    {Role::Kit, "kit", "kit ", 1, false, CellKind::Nursery},
    {Role::Apprentice, "apprentice", "apprentice ", 2, false, CellKind::ApprenticesDen},
    {Role::Warrior, "warrior", "warrior ", kDefaultHealth, false, CellKind::WarriorsDen},
    {Role::Queen, "queen", "queen ", kDefaultHealth, false, CellKind::Nursery},
    {Role::Deputy, "deputy", "deputy ", kDefaultHealth, true, CellKind::WarriorsDen},
    {Role::Leader, "leader", "leader ", kDefaultHealth, true, CellKind::LeadersDen},
    {Role::MedicineCat, "medicine", "medicine cat ", kDefaultHealth, true, CellKind::MedicineCatDen},
};
constexpr const RoleTraits& kWarrior = kRoles[2];

}  // namespace

const RoleTraits& TraitsOf(Role role) {
  for (const RoleTraits& traits : kRoles) {
    if (traits.role == role) return traits;
  }
  return kWarrior;
}

Role RoleFromWord(std::string_view word) {
  for (const RoleTraits& traits : kRoles) {
    if (traits.word == word) return traits.role;
  }
  return Role::Warrior;
}

}  // namespace world
