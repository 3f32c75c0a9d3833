#pragma once

namespace QoviLumen {

class SettingsConsumerInterface
{
public:
    virtual ~SettingsConsumerInterface() {}
    // The player's settings changed; read again what matters.
    virtual void settingsChanged() = 0;
};

} // namespace QoviLumen
