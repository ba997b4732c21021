<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>VPNRegionsView</name>
    <message>
        <source>Clear</source>
        <translation>Borrar</translation>
    </message>
    <message>
        <source>Search by country or city...</source>
        <translation>Buscar por país o ciudad...</translation>
    </message>
    <message>
        <source>selected</source>
        <translation>seleccionada</translation>
    </message>
    <message>
        <source>VPN Regions List</source>
        <translation>Lista de regiones VPN</translation>
    </message>
</context>
</TS>
