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
        <translation>Connexion...</translation>
    </message>
    <message>
        <source>The device is not connected or has not entered upgrade mode as instructed</source>
        <translation>L&apos;appareil n&apos;est pas connecté ou n&apos;est pas passé en mode de mise à jour comme indiqué</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>The firmware entry of the catalogue is not valid!</source>
        <translation>L&apos;entrée du micrologiciel dans le catalogue n&apos;est pas valide !</translation>
    </message>
    <message>
        <source>The firmware could not be downloaded!</source>
        <translation>Impossible de télécharger le micrologiciel !</translation>
    </message>
    <message>
        <source>The downloaded firmware is damaged!</source>
        <translation>Le micrologiciel téléchargé est endommagé !</translation>
    </message>
    <message>
        <source>The firmware could not be saved!</source>
        <translation>Impossible d&apos;enregistrer le micrologiciel !</translation>
    </message>
    <message>
        <source>The firmware catalogue could not be read!</source>
        <translation>Impossible de lire le catalogue des micrologiciels !</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>La version du micrologiciel n&apos;est pas valide !</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1. Install the package %2, whose udev rule gives the user at this computer access to the adapters, then plug the adapter in again.</source>
        <translation>L&apos;adaptateur a été trouvé mais ne peut pas être ouvert : aucune autorisation pour %1. Installez le paquet %2, dont la règle udev donne à l&apos;utilisateur de cet ordinateur l&apos;accès aux adaptateurs, puis rebranchez l&apos;adaptateur.</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1, although the udev rule %2 is installed. It gives access only to the user at this computer&apos;s own screen and keyboard. If that is you, run &quot;%3&quot; and plug the adapter in again.</source>
        <translation>L&apos;adaptateur a été trouvé mais ne peut pas être ouvert : aucune autorisation pour %1, bien que la règle udev %2 soit installée. Elle ne donne l&apos;accès qu&apos;à l&apos;utilisateur assis devant l&apos;écran et le clavier de cet ordinateur. Si c&apos;est vous, exécutez « %3 » puis rebranchez l&apos;adaptateur.</translation>
    </message>
</context>
<context>
    <name>FirmwareUpgrader</name>
    <message>
        <source>Firmware lost</source>
        <translation>Micrologiciel perdu ! Veuillez mettre à jour le micrologiciel !</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Restore Default</source>
        <translation>Rétablir les réglages d&apos;usine</translation>
    </message>
    <message>
        <source>SN: </source>
        <translation>N° de série : </translation>
    </message>
    <message>
        <source>The data will be erased and then restore default!</source>
        <translation>Tout sera effacé et réinitialisé !</translation>
    </message>
    <message>
        <source>Update Firmware</source>
        <translation>Mettre à jour le micrologiciel</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>Boot Mode</source>
        <translation>Mode de démarrage</translation>
    </message>
    <message>
        <source>Data Backup</source>
        <translation>Sauvegarde</translation>
    </message>
    <message>
        <source>Data Restore</source>
        <translation>Restauration</translation>
    </message>
    <message>
        <source>LOCAL</source>
        <translation>LOCAL</translation>
    </message>
    <message>
        <source>New Version</source>
        <translation>Nouvelle version</translation>
    </message>
    <message>
        <source>OTA</source>
        <translation>OTA</translation>
    </message>
</context>
<context>
    <name>GuideStart</name>
    <message>
        <source>Connect Brivane T5 to PC while holding the button.
Release the button until the LED indicator is stable green.</source>
        <translation>1. Branchez le Brivane T5 au PC en maintenant le bouton enfoncé.
2. Relâchez le bouton lorsque le voyant reste allumé en vert fixe.</translation>
    </message>
    <message>
        <source>Connect Brivane M7 to PC while holding the button
Release the button until the LED indicator is stable green.</source>
        <translation>1. Branchez le Brivane M7 au PC en maintenant le bouton enfoncé.
2. Relâchez le bouton lorsque le voyant reste allumé en vert fixe.</translation>
    </message>
    <message>
        <source>Connect Brivane K3 to PC auto into upgrade mode.</source>
        <translation>Branchez le Brivane K3 au PC : il passe automatiquement en mode de mise à jour.</translation>
    </message>
    <message>
        <source>Quick start guide</source>
        <translation>Guide de démarrage rapide</translation>
    </message>
    <message>
        <source>Select product</source>
        <translation>Sélectionnez le produit</translation>
    </message>
    <message>
        <source>Enter</source>
        <translation>Continuer</translation>
    </message>
</context>
<context>
    <name>K3Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Erreur d&apos;effacement !</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Erreur de mise à jour !</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Mise à jour réussie !</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>Fichier non valide !</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>Fichier non valide !</translation>
    </message>
</context>
<context>
    <name>M7Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Erreur d&apos;effacement !</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Erreur de mise à jour !</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Mise à jour réussie !</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>Erreur de somme MD5 du fichier !</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>Fichier non valide !</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>Fichier non valide !</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Chinese</source>
        <translation>中文</translation>
    </message>
    <message>
        <source>Japanese</source>
        <translation>日本語</translation>
    </message>
    <message>
        <source>Russian</source>
        <translation>русский</translation>
    </message>
    <message>
        <source>French</source>
        <translation>Français</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>Retour</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Brivane Firmware is already running!</source>
        <translation>Brivane Firmware Tool est déjà en cours d&apos;exécution !</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>Fichier non valide !</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>Fichier non valide !</translation>
    </message>
    <message>
        <source>Data backup error!</source>
        <translation>Erreur de sauvegarde !</translation>
    </message>
    <message>
        <source>Erase error!</source>
        <translation>Erreur d&apos;effacement !</translation>
    </message>
    <message>
        <source>Firmware data restore error!</source>
        <translation>Erreur de restauration !</translation>
    </message>
    <message>
        <source>Write to flash data verify error!</source>
        <translation>Erreur de vérification de l&apos;écriture !</translation>
    </message>
    <message>
        <source>Write to flash error!</source>
        <translation>Erreur d&apos;écriture !</translation>
    </message>
    <message>
        <source>Firmware lost!</source>
        <translation>Micrologiciel perdu !</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings could not be read!</source>
        <translation>Impossible de lire les réglages de l&apos;adaptateur !</translation>
    </message>
    <message>
        <source>The firmware is too large for the adapter!</source>
        <translation>Le micrologiciel est trop volumineux pour l&apos;adaptateur !</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>Le fichier de sauvegarde est vide ou illisible !</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>Mettez d&apos;abord le micrologiciel de l&apos;adaptateur à jour en version 5.5.0 ou ultérieure !</translation>
    </message>
    <message>
        <source>The backup file holds damaged data!</source>
        <translation>Le fichier de sauvegarde contient des données endommagées !</translation>
    </message>
    <message>
        <source>The adapter could not be read completely!</source>
        <translation>Impossible de lire entièrement l&apos;adaptateur !</translation>
    </message>
    <message>
        <source>Another adapter was plugged in; check the adapter and try again!</source>
        <translation>Un autre adaptateur a été branché ; vérifiez l&apos;adaptateur et réessayez !</translation>
    </message>
    <message>
        <source>The file is not a firmware for this adapter!</source>
        <translation>Ce fichier n&apos;est pas un micrologiciel pour cet adaptateur !</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>La version du micrologiciel n&apos;est pas valide !</translation>
    </message>
    <message>
        <source>The settings could not be saved on this computer; nothing was written!</source>
        <translation>Les réglages n&apos;ont pas pu être enregistrés sur cet ordinateur ; rien n&apos;a été écrit !</translation>
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
        <translation>Aucun réglage enregistré pour cet adaptateur n&apos;a été trouvé !</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were lost; factory settings were written.</source>
        <translation>Les réglages de l&apos;adaptateur ont été perdus ; les réglages d&apos;usine ont été écrits.</translation>
    </message>
</context>
</TS>
