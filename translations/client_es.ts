<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>Client</name>
    <message>
        <source>Check your internet connection and try again.</source>
        <translation>Comprueba tu conexión a Internet e inténtalo de nuevo.</translation>
    </message>
    <message>
        <source>The server answered with an error. Please try again later.</source>
        <translation>El servidor respondió con un error. Inténtalo más tarde.</translation>
    </message>
    <message>
        <source>The server's answer could not be understood. Please try again later.</source>
        <translation>No se pudo entender la respuesta del servidor. Inténtalo más tarde.</translation>
    </message>
    <message>
        <source>The server's answer was too large to read. Please try again later.</source>
        <translation>La respuesta del servidor era demasiado grande para leerla. Inténtalo más tarde.</translation>
    </message>
</context>
</TS>
