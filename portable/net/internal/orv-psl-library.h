// libpsl (libpsl.so.5 with its international-name libraries), loaded on the first public-suffix
// lookup rather than at program start.
#pragma once

#include <libpsl.h>

// The built-in list, or null when libpsl cannot be loaded or has no list; callers then behave as
// they do without a list. Any thread.
const psl_ctx_t* OrvPslBuiltin();
// The longest public suffix of pszDomain that the list names (see psl_unregistrable_domain); null
// for none. psl comes from OrvPslBuiltin.
const char* OrvPslUnregistrableDomain(const psl_ctx_t* psl, const char* pszDomain);
// Whether pszDomain is a public suffix of the given sections (see psl_is_public_suffix2). psl
// comes from OrvPslBuiltin.
bool OrvPslIsPublicSuffix(const psl_ctx_t* psl, const char* pszDomain, int nType);
