#pragma once

#include "host/WebsiteDataStore.h"
#include "platform/GObjectRef.h"

#include <webkit/webkit.h>

namespace korvid {

// A website data store on WebKitGTK: the network session web views share
// cookies and storage through.
class NetworkSessionStore final : public WebsiteDataStore {
public:
    explicit NetworkSessionStore(WebKitNetworkSession* session)
        : session_(GObjectRef<WebKitNetworkSession>::retain(session))
    {
    }
    WebKitNetworkSession* session() const { return session_.get(); }

private:
    GObjectRef<WebKitNetworkSession> session_;
};

}
