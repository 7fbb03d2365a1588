#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

namespace alias_manager {

// Aliases per user id, as an alias table file lists them.
//
// Format, one user per line:  <uid> <alias> [<alias>...]
// Fields are separated by blanks or tabs; '#' starts a comment that runs to the end of the
// line; blank lines are ignored. uid is decimal, 0..4294967294. The first line of a uid wins;
// later lines for it, and lines that are not entries, are reported as "<source>:<line>: ..."
// on the report stream and skipped.
//
// Immutable once built, so lookups need no lock.
class AliasTable {
public:
    AliasTable() = default;

    static AliasTable parse(std::istream& input, const std::string& source, std::ostream& report);
    // A file that cannot be opened is reported and gives an empty table.
    static AliasTable load(const std::string& path, std::ostream& report);

    // The aliases of the user in file order, or null when the table has no entry for it.
    const std::vector<std::string>* find(uint32_t uid) const;

    size_t size() const { return aliases_.size(); }

private:
    std::unordered_map<uint32_t, std::vector<std::string>> aliases_;
};

}  // namespace alias_manager
