<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>RegionsLoadFailedPanel</name>
    <message>
        <source>Check your internet connection and try again.</source>
        <translation>Comprueba tu conexión a Internet e inténtalo de nuevo.</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Reintentar</translation>
    </message>
    <message>
        <source>The regions could not be loaded.</source>
        <translation>No se pudieron cargar las regiones.</translation>
    </message>
    <message>
        <source>Your keyring is locked. They load once you unlock it.</source>
        <translation>Tu llavero está bloqueado. Se cargarán en cuanto lo desbloquees.</translation>
    </message>
</context>
</TS>
