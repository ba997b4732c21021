<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>PricingView</name>
    <message>
        <source>$%@</source>
        <translation>US$%@</translation>
    </message>
    <message>
        <source>• %@</source>
        <translation>• %@</translation>
    </message>
    <message>
        <source>*Note that an active VPN subscription is required to use additional slots.</source>
        <translation>*Ten en cuenta que se necesita una suscripción VPN activa para usar plazas adicionales.</translation>
    </message>
    <message>
        <source>Back to Standard Plans</source>
        <translation>Volver a los planes estándar</translation>
    </message>
    <message>
        <source>Check your internet connection and try again.</source>
        <translation>Comprueba tu conexión a internet e inténtalo de nuevo.</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Cerrar</translation>
    </message>
    <message>
        <source>Loading plans…</source>
        <translation>Cargando planes…</translation>
    </message>
    <message>
        <source>Oops! Failed to load plans.</source>
        <translation>¡Vaya! No se pudieron cargar los planes.</translation>
    </message>
    <message>
        <source>Purchase</source>
        <translation>Comprar</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Reintentar</translation>
    </message>
    <message>
        <source>View Extra Slots</source>
        <translation>Ver plazas adicionales</translation>
    </message>
    <message>
        <source>🎉 7-day Free Trial Included!</source>
        <translation>🎉 ¡Incluye 7 días de prueba gratis!</translation>
    </message>
</context>
</TS>
