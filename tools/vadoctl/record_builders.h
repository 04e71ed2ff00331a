// Push messages a front end supplies for writing contacts, calendars, bookmarks and notes,
// built from a plain JSON description of the record so that nobody writes property-list
// XML by hand.
//
// Contact:  {"id": "...", "first name": "Ann", "last name": "Lee", "birthday": "1980-02-29",
//            ...any other contact field as a string...,
//            "phones": [{"value": "+1 555", "type": "mobile", "label": "..."}],
//            "emails": [...], "urls": [...], "related": [...] (value/type/label),
//            "addresses": [{"street", "city", "state", "postal code", "country",
//                           "country code", "type"}],
//            "ims": [{"user", "service", "type"}], "dates": [{"value": "2001-05-04", "type"}]}
// Calendar: {"id", "title", "color": [r, g, b, a], "read only": 0,
//            "events": [{"id", "summary", "location", "description", "url",
//                        "start": "2024-05-01T09:00:00Z", "end": ..., "all day": false,
//                        "timezone": "Europe/Berlin",
//                        "alarms": [{"id", "trigger": -900, "description"}],
//                        "recurrence": {"id", "frequency": "weekly", "interval": 1,
//                                       "until": "2024-12-31"}}]}
// Bookmark: {"id", "name", "url", "parent": "<folder id>", "position": 3, "folder": false}
// Dates are "YYYY-MM-DD" (midnight UTC) or "YYYY-MM-DDThh:mm:ssZ".
#pragma once

#include <string>

namespace vadoctl {

// Each returns the request body (JSON text) or, for a bookmark, the push text; on a bad
// description it returns "" and sets `error`.
std::string BuildContactPayload(const std::string& description_json, std::string* error);
std::string BuildCalendarPayload(const std::string& description_json, std::string* error);
std::string BuildBookmarkPush(const std::string& description_json, std::string* error);

}  // namespace vadoctl
