#pragma once

#include <QString>

namespace tandrel::guard {

// The tunnel's own routing table (charon-nm's table 220, looked up ahead of the main table)
// takes every destination, the local subnets included, so with the local networks excluded
// the guard's accept alone would leave the LAN unreachable. One policy-routing rule per
// family, ahead of the tunnel's table, sends whatever the main table routes more narrowly
// than its default route (the links' own subnets) by the main table:
//   110  from all lookup main suppress_prefixlength 0
// It belongs to the guard, not to any link, so no link is re-applied for it. `wanted`
// false takes it away; either succeeds when the rule is already as asked. Empty on
// success, else the kernel's word.
QString keepLocalNetworksOutOfTheTunnel(bool wanted);

}  // namespace tandrel::guard
