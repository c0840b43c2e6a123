// UNError: the error domain and codes of the notification framework, as NSError values carry
// them. Constants only.
#pragma once

inline constexpr const char* UNErrorDomain = "UNErrorDomain";
inline constexpr long UNErrorCodeAttachmentInvalidURL = 100;
inline constexpr long UNErrorCodeAttachmentUnrecognizedType = 101;
inline constexpr long UNErrorCodeAttachmentInvalidFileSize = 102;
inline constexpr long UNErrorCodeAttachmentNotInDataStore = 103;
// The platform could not take its own copy of the file into the attachment store.
inline constexpr long UNErrorCodeAttachmentMoveIntoDataStoreFailed = 104;
// The file starts like an image of an accepted kind but is not a whole, sane one.
inline constexpr long UNErrorCodeAttachmentCorrupt = 105;
