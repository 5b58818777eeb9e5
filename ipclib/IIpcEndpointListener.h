// Receiver of an endpoint's connection events and frame bodies. Called on the
// loop thread only.
#pragma once

#include <string>

class IIpcEndpoint;

class IIpcEndpointListener {
public:
    virtual ~IIpcEndpointListener() = default;
    // One complete frame body.
    virtual void onMessage(IIpcEndpoint* endpoint, const std::string& body) = 0;
    // The connection failed or the peer closed it; reported once per endpoint.
    virtual void onDisconnect(IIpcEndpoint* endpoint) = 0;
    // A connection was admitted.
    virtual void onConnect(IIpcEndpoint* endpoint) = 0;
};
