#pragma once

namespace korvid {

// The web storage of the sign-in browser that produced the current session.
// The host only holds it and hands it to web workspaces; the platform layer
// subclasses it with its network session.
class WebsiteDataStore {
public:
    virtual ~WebsiteDataStore() = default;
};

}
