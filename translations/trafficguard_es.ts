<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>TrafficGuard</name>
    <message>
        <source>The Kill Switch needs Tandrel&apos;s traffic guard helper (tandrel-traffic-guard), which is not installed. Install Tandrel&apos;s package.</source>
        <translation>El Kill Switch necesita el asistente de protección del tráfico de Tandrel (tandrel-traffic-guard), que no está instalado. Instala el paquete de Tandrel.</translation>
    </message>
    <message>
        <source>The Kill Switch needs the system bus, which cannot be reached.</source>
        <translation>El Kill Switch necesita el bus del sistema, que no está disponible.</translation>
    </message>
    <message>
        <source>This user is not allowed to change Tandrel&apos;s traffic guard on this computer.</source>
        <translation>Este usuario no tiene permiso para cambiar la protección del tráfico de Tandrel en este equipo.</translation>
    </message>
    <message>
        <source>Tandrel&apos;s traffic guard helper did not answer in time.</source>
        <translation>El asistente de protección del tráfico de Tandrel no respondió a tiempo.</translation>
    </message>
    <message>
        <source>The traffic guard could not be put in place: %1</source>
        <translation>No se pudo activar la protección del tráfico: %1</translation>
    </message>
</context>
</TS>
