// Whose mailbox a call acts on, and the property keys' canonical form. Called on the thread
// that makes the component call, which acts for the request's user.
#ifndef NEXORAL_COMPONENTS_MAILBOX_MAILBOX_IDENTITY_H
#define NEXORAL_COMPONENTS_MAILBOX_MAILBOX_IDENTITY_H

#include <optional>
#include <string>
#include <string_view>

namespace nexoral::mailbox {

// The explicit-logon mailbox when it is not blank (trimmed, ASCII lower case), else
// "domain\user" (lower case; the bare user without a domain) of the calling thread's token.
// Nothing when the mailbox is blank and the thread does not act for a user.
std::optional<std::string> ResolveMailbox(std::string_view explicitMailbox);

// A property-set GUID in canonical form: 8-4-4-4-12 hexadecimal digits in upper case, without
// braces. Accepts either case, with or without one pair of braces; nothing for anything else.
std::optional<std::string> CanonicalPropertySet(std::string_view guid);

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_MAILBOX_IDENTITY_H
