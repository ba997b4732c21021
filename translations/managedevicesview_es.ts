<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>ManageDevicesView</name>
    <message>
        <source>%lld of %lld slots in use</source>
        <translation>%lld de %lld plazas en uso</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Cerrar</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>Eliminar</translation>
    </message>
    <message>
        <source>Last Login: %@</source>
        <translation>Último inicio de sesión: %@</translation>
    </message>
    <message>
        <source>Loading devices...</source>
        <translation>Cargando dispositivos...</translation>
    </message>
    <message>
        <source>Manage Devices</source>
        <translation>Gestionar dispositivos</translation>
    </message>
    <message>
        <source>OS: %@</source>
        <translation>SO: %@</translation>
    </message>
    <message>
        <source>This device</source>
        <translation>Este dispositivo</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Reintentar</translation>
    </message>
    <message>
        <source>Your Devices</source>
        <translation>Tus dispositivos</translation>
    </message>
</context>
</TS>
