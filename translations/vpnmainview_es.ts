<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>VPNMainView</name>
    <message>
        <source>Keyring locked</source>
        <translation>Llavero bloqueado</translation>
    </message>
    <message>
        <source>Platform: macOS</source>
        <translation>Platform: Linux</translation>
    </message>
    <message>
        <source>Buy More Slots</source>
        <translation>Comprar más plazas</translation>
    </message>
    <message>
        <source>Connected to %@</source>
        <translation>Conectado a %@</translation>
    </message>
    <message>
        <source>Connecting...</source>
        <translation>Conectando...</translation>
    </message>
    <message>
        <source>Customer support</source>
        <translation>Atención al cliente</translation>
    </message>
    <message>
        <source>Device Limit Exceeded</source>
        <translation>Límite de dispositivos superado</translation>
    </message>
    <message>
        <source>Disconnecting...</source>
        <translation>Desconectando...</translation>
    </message>
    <message>
        <source>Error. Reconnecting...</source>
        <translation>Error. Reconectando...</translation>
    </message>
    <message>
        <source>Log out</source>
        <translation>Cerrar sesión</translation>
    </message>
    <message>
        <source>Manage Devices</source>
        <translation>Gestionar dispositivos</translation>
    </message>
    <message>
        <source>Not Connected</source>
        <translation>No conectado</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>Aceptar</translation>
    </message>
    <message>
        <source>Please log in</source>
        <translation>Inicia sesión</translation>
    </message>
    <message>
        <source>Pricing</source>
        <translation>Precios</translation>
    </message>
    <message>
        <source>Reconnecting...</source>
        <translation>Reconectando...</translation>
    </message>
    <message>
        <source>Reconnecting... Traffic is held back</source>
        <translation>Reconectando... El tráfico queda retenido</translation>
    </message>
    <message>
        <source>Redeem Code</source>
        <translation>Canjear código</translation>
    </message>
    <message>
        <source>Renew Subscription</source>
        <translation>Renovar suscripción</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Ajustes</translation>
    </message>
    <message>
        <source>Subscription Expired</source>
        <translation>Suscripción caducada</translation>
    </message>
    <message>
        <source>VPN Not Connected</source>
        <translation>VPN no conectada</translation>
    </message>
    <message>
        <source>You have reached the maximum number of devices allowed on your plan.</source>
        <translation>Has alcanzado el número máximo de dispositivos permitido en tu plan.</translation>
    </message>
    <message>
        <source>Your plan has expired. Please renew your subscription to continue using the VPN.</source>
        <translation>Tu plan ha caducado. Renueva tu suscripción para seguir usando la VPN.</translation>
    </message>
    <message>
        <source>Your keyring is locked. Unlock it to go on; Tandrel keeps your session and the tunnel meanwhile.</source>
        <translation>Tu llavero está bloqueado. Desbloquéalo para continuar; mientras tanto, Tandrel mantiene tu sesión y el túnel.</translation>
    </message>
</context>
</TS>
