// "Did you mean": the known name closest to a mistyped one.
#pragma once

#include <string>
#include <vector>

namespace orn {

// Edit distance with adjacent transpositions, ignoring letter case (a swapped or dropped
// letter and a wrong case are the usual typing slips).
size_t name_distance(const std::string& a, const std::string& b);

// The candidate nearest to `name`, or "" when none is near enough to be a likely slip: by the
// longer of the two names, only a change of case up to 2 characters, one edit up to 4, two up
// to 8 ("ball" for "ball_i"), three beyond (more would match unrelated names that share a long
// prefix such as "orn_").
std::string nearest_name(const std::string& name, const std::vector<std::string>& candidates);

// "; did you mean \"X\"?" for the nearest candidate, or "" when there is none.
std::string did_you_mean(const std::string& name, const std::vector<std::string>& candidates);

} // namespace orn
