<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>FirmwareManage</name>
    <message>
        <source>Brivane data backup</source>
        <translation>Sauvegarde des données</translation>
    </message>
    <message>
        <source>Brivane data restore</source>
        <translation>Restauration des données</translation>
    </message>
    <message>
        <source>The device is connecting...</source>
        <translation>Connexion</translation>
    </message>
    <message>
        <source>The device is not connected or has not entered upgrade mode as instructed</source>
        <translation>Aucun appareil Brivane trouvé</translation>
    </message>
</context>
<context>
    <name>K3Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Erreur d&apos;effacement !</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Erreur de mise à jour !</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Mise à jour réussie</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>Fichier invalide</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>Fichier invalide</translation>
    </message>
</context>
<context>
    <name>M7Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Erreur d&apos;effacement !</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Erreur de mise à jour !</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Mise à jour réussie</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>Erreur (MD5)</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>Fichier invalide</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>Fichier invalide</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>Fichier invalide</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>Fichier invalide</translation>
    </message>
    <message>
        <source>Data backup error!</source>
        <translation>Erreur de sauvegarde !</translation>
    </message>
    <message>
        <source>Erase error!</source>
        <translation>Erreur d&apos;effacement !</translation>
    </message>
    <message>
        <source>Firmware data restore error!</source>
        <translation>Erreur de restauration !</translation>
    </message>
    <message>
        <source>Write to flash data verify error!</source>
        <translation>Erreur de vérification !</translation>
    </message>
    <message>
        <source>Write to flash error!</source>
        <translation>Erreur d&apos;écriture !</translation>
    </message>
    <message>
        <source>Firmware lost!</source>
        <translation>Micrologiciel perdu !</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings could not be read!</source>
        <translation>Impossible de lire les réglages de l&apos;adaptateur !</translation>
    </message>
    <message>
        <source>The firmware is too large for the adapter!</source>
        <translation>Le micrologiciel est trop volumineux pour l&apos;adaptateur !</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>Le fichier de sauvegarde est vide ou illisible !</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>Mettez d&apos;abord l&apos;adaptateur à jour vers le micrologiciel 5.5.0 ou ultérieur !</translation>
    </message>
    <message>
        <source>The backup file holds damaged data!</source>
        <translation>Le fichier de sauvegarde contient des données endommagées !</translation>
    </message>
    <message>
        <source>The adapter could not be read completely!</source>
        <translation>Impossible de lire entièrement l&apos;adaptateur !</translation>
    </message>
    <message>
        <source>Another adapter was plugged in; check the adapter and try again!</source>
        <translation>Un autre adaptateur a été branché ; vérifiez l&apos;adaptateur et réessayez !</translation>
    </message>
    <message>
        <source>The file is not a firmware for this adapter!</source>
        <translation>Ce fichier n&apos;est pas un micrologiciel pour cet adaptateur !</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>La version du micrologiciel n&apos;est pas valide !</translation>
    </message>
    <message>
        <source>The settings could not be saved on this computer; nothing was written!</source>
        <translation>Les réglages n&apos;ont pas pu être enregistrés sur cet ordinateur ; rien n&apos;a été écrit !</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were restored from the copy saved on %1.</source>
        <translation>Les réglages de l&apos;adaptateur ont été restaurés à partir de la copie enregistrée le %1.</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings are damaged. The next update writes back the copy saved on %1.</source>
        <translation>Les réglages de l&apos;adaptateur sont endommagés. La prochaine mise à jour réécrira la copie enregistrée le %1.</translation>
    </message>
    <message>
        <source>No saved settings of this adapter were found!</source>
        <translation>Aucun réglage enregistré pour cet adaptateur n&apos;a été trouvé !</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were lost; factory settings were written.</source>
        <translation>Les réglages de l&apos;adaptateur étaient perdus ; les réglages d&apos;usine ont été écrits.</translation>
    </message>
</context>
</TS>
