// Whose mailbox a call acts on, and the property keys' canonical form. Called on the thread
// that makes the component call, which acts for the request's user.
//
// An explicit-logon mailbox is served only to its owner or to a user the directory lists among
// its delegates ("publicDelegates" of the owner's entry holds the user's DN). The component
// reads the directory from the configuration file (platform/directory.h) that
// NEXORAL_MAILBOX_DIRECTORY names, normally the installation's Settings/Directory.conf; without
// it only the caller's own mailbox may be named explicitly.
#ifndef NEXORAL_COMPONENTS_MAILBOX_MAILBOX_IDENTITY_H
#define NEXORAL_COMPONENTS_MAILBOX_MAILBOX_IDENTITY_H

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mailbox_store.h"
#include "platform/directory.h"

namespace nexoral::mailbox {

inline constexpr char kDirectoryVariable[] = "NEXORAL_MAILBOX_DIRECTORY";

// The directory of the configuration file the variable names, opened once per file name and
// kept while held; null (with the reason in *error) when unset or unusable.
std::shared_ptr<platform::Directory> MailboxDirectory(std::string* error);

// The store key of the mailbox the calling thread's user may act on: "domain\user" of that user
// (lower case; the bare user without a domain) when explicitMailbox is blank or names the
// user's own entry; the owner's "domain\account" (the directory's domain, else the user's) when
// the user is the owner's delegate. explicitMailbox is an SMTP address or user principal name,
// "domain\account" or an account. False with *error: kAccessErrorNoMailbox when the thread acts
// for no user, kAccessErrorAccessDenied for a mailbox the user may not act on.
bool ResolveMailbox(std::string_view explicitMailbox, platform::Directory* directory, std::string* key,
                    StoreError* error);

// A property-set GUID in canonical form: 8-4-4-4-12 hexadecimal digits in upper case, without
// braces. Accepts either case, with or without one pair of braces; nothing for anything else.
std::optional<std::string> CanonicalPropertySet(std::string_view guid);

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_MAILBOX_IDENTITY_H
