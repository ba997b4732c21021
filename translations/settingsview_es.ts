<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>SettingsView</name>
    <message>
        <source>Settings</source>
        <translation>Ajustes</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Cerrar</translation>
    </message>
    <message>
        <source>Launch at Login</source>
        <translation>Abrir al iniciar sesión</translation>
    </message>
    <message>
        <source>Start Tandrel automatically when your Mac boots.</source>
        <translation>Inicia Tandrel automáticamente al iniciar sesión.</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Idioma</translation>
    </message>
    <message>
        <source>Select the app&apos;s UI language. Restart required to apply changes.</source>
        <translation>Selecciona el idioma de la interfaz. Es necesario reiniciar para aplicar los cambios.</translation>
    </message>
    <message>
        <source>Remove VPN Profile</source>
        <translation>Eliminar perfil VPN</translation>
    </message>
    <message>
        <source>Remove the VPN profile from your device.</source>
        <translation>Elimina el perfil VPN de tu dispositivo.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>Aceptar</translation>
    </message>
</context>
</TS>
